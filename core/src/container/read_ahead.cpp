#include "container/read_ahead.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "common/allocation_guard.hpp"
#include "common/fd_wait.hpp"
#include "container/reading_threads.hpp"
#include "qel/cancel.hpp"

namespace qel {

struct ReadAheadInput::State {
  // What one slot's reads gave: bytes, then perhaps the end or a failure.
  struct Filled {
    std::size_t size = 0;
    bool ended = false;
    std::optional<Error> failure;
  };

  std::span<std::uint8_t> slot(std::size_t index) noexcept {
    return {slots.get() + index * kSlotBytes, kSlotBytes};
  }
  // The helper's loop; it gives its processor back before the caller can
  // see that it ended.
  void run() noexcept;
  // Reads until the slot is full or the stream ends or fails.
  Filled fill(std::span<std::uint8_t> into);
  // Waits for a filled slot or the helper's end, asking the caller's
  // cancellation check after each slice without either.
  Status await(std::unique_lock<std::mutex>& lock);

  std::unique_ptr<InputStream> stream;
  std::unique_ptr<std::uint8_t[]> slots;

  std::mutex mutex;
  std::condition_variable changed;
  // Under mutex: the ring's filled slots, and how the helper ended.
  std::size_t first = 0;
  std::size_t ready = 0;
  std::size_t sizes[kSlots] = {};
  bool stopping = false;
  bool ended = false;
  bool at_end = false;
  std::optional<Error> failure;
};

void ReadAheadInput::State::run() noexcept {
  ::pthread_setname_np(::pthread_self(), "qel-read-ahead");
  prepare_error_path();
  std::unique_lock lock(mutex);
  while (!ended) {
    changed.wait(lock, [&] { return stopping || ready < kSlots; });
    // Loads that came later read alone: this one goes on on its own thread.
    if (stopping || reading_threads::crowded()) break;
    const std::size_t index = (first + ready) % kSlots;
    lock.unlock();
    Filled filled = fill(slot(index));
    lock.lock();
    // The bytes before a failure or the end are delivered first.
    if (filled.size > 0) {
      sizes[index] = filled.size;
      ++ready;
    }
    failure = std::move(filled.failure);
    at_end = filled.ended && !failure;
    ended = filled.ended;
    changed.notify_all();
  }
  reading_threads::release_helper();
  ended = true;
  changed.notify_all();
}

ReadAheadInput::State::Filled ReadAheadInput::State::fill(std::span<std::uint8_t> into) {
  Filled filled;
  while (filled.size < into.size()) {
    // A failed allocation is a failure like any other, after the bytes before it.
    Result<std::size_t> got =
        failed_allocation_as_error([&] { return stream->read(into.subspan(filled.size)); });
    if (!got) {
      filled.failure = std::move(got.error());
      filled.ended = true;
      break;
    }
    if (*got == 0) {
      filled.ended = true;
      break;
    }
    filled.size += *got;
  }
  return filled;
}

Status ReadAheadInput::State::await(std::unique_lock<std::mutex>& lock) {
  constexpr std::chrono::milliseconds kSlice{fd_wait::kSliceMilliseconds};
  while (!changed.wait_for(lock, kSlice, [&] { return ready > 0 || ended; })) {
    lock.unlock();
    Status asked = cancel::after_interrupt();
    lock.lock();
    QEL_TRY(std::move(asked));
  }
  return {};
}

std::unique_ptr<InputStream> ReadAheadInput::wrap(std::unique_ptr<InputStream> stream) {
  if (!reading_threads::claim_helper()) return stream;
  std::shared_ptr<State> state;
  std::unique_ptr<ReadAheadInput> ahead;
  try {
    state = std::make_shared<State>();
    state->slots = std::make_unique_for_overwrite<std::uint8_t[]>(kSlots * kSlotBytes);
    ahead.reset(new ReadAheadInput(state));
  } catch (const std::bad_alloc&) {
    // Read on the caller's thread instead.
    reading_threads::release_helper();
    return stream;
  }
  state->stream = std::move(stream);
  // Started with every signal blocked: a signal sent to the process must
  // reach the thread that can act on it, the caller's.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    ahead->helper_ = std::thread([state] { state->run(); });
  } catch (...) {
    // Read on the caller's thread instead.
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!ahead->helper_.joinable()) {
    reading_threads::release_helper();
    return std::move(state->stream);
  }
  return ahead;
}

ReadAheadInput::ReadAheadInput(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}

ReadAheadInput::~ReadAheadInput() {
  if (!helper_.joinable()) return;
  {
    const std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->changed.notify_all();
  // Not joined: a read that hangs (a stalled network file system) must not
  // hold up the caller that gave up. The helper ends after its current read.
  helper_.detach();
}

Result<std::size_t> ReadAheadInput::read(std::span<std::uint8_t> out) {
  if (!helper_.joinable()) return state_->stream->read(out);
  State& state = *state_;
  std::size_t copied = 0;
  std::unique_lock lock(state.mutex);
  while (copied < out.size()) {
    if (state.ready == 0) {
      if (copied > 0) break;
      QEL_TRY(state.await(lock));
      if (state.ready == 0) {
        lock.unlock();
        return finish(out);
      }
    }
    const std::size_t index = state.first;
    const std::size_t n = std::min(out.size() - copied, state.sizes[index] - taken_);
    lock.unlock();
    std::memcpy(out.data() + copied, state.slot(index).data() + taken_, n);
    copied += n;
    taken_ += n;
    lock.lock();
    if (taken_ == state.sizes[index]) {
      taken_ = 0;
      state.first = (state.first + 1) % kSlots;
      --state.ready;
      state.changed.notify_all();
    }
  }
  return copied;
}

Result<std::size_t> ReadAheadInput::finish(std::span<std::uint8_t> out) {
  helper_.join();
  if (state_->failure) {
    Error failure = std::move(*state_->failure);
    state_->failure.reset();
    return std::unexpected(std::move(failure));
  }
  if (state_->at_end) return 0;
  return state_->stream->read(out);
}

}  // namespace qel
