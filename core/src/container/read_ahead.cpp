#include "container/read_ahead.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "common/allocation_guard.hpp"
#include "container/reading_threads.hpp"

namespace qel {

std::unique_ptr<InputStream> ReadAheadInput::wrap(std::unique_ptr<InputStream> stream) {
  if (!reading_threads::claim_helper()) return stream;
  std::unique_ptr<std::uint8_t[]> slots(new (std::nothrow) std::uint8_t[kSlots * kSlotBytes]);
  std::unique_ptr<ReadAheadInput> ahead;
  if (slots) ahead.reset(new (std::nothrow) ReadAheadInput(std::move(slots)));
  if (!ahead) {
    reading_threads::release_helper();
    return stream;
  }
  ahead->stream_ = std::move(stream);
  // Started with every signal blocked: a signal sent to the process must
  // reach the thread that can act on it, the caller's.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    ahead->helper_ = std::thread([raw = ahead.get()] { raw->run(); });
  } catch (...) {
    // Read on the caller's thread instead.
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!ahead->helper_.joinable()) {
    reading_threads::release_helper();
    return std::move(ahead->stream_);
  }
  return ahead;
}

ReadAheadInput::~ReadAheadInput() {
  stop();
}

void ReadAheadInput::stop() noexcept {
  if (helper_joined_ || !helper_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  helper_.join();
  helper_joined_ = true;
  reading_threads::release_helper();
}

void ReadAheadInput::run() noexcept {
  ::pthread_setname_np(::pthread_self(), "qel-read-ahead");
  prepare_error_path();
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || ready_ < kSlots; });
    if (stopping_) return;
    // Loads that came later read alone: this one goes on on its own thread.
    if (reading_threads::crowded()) {
      ended_ = true;
      changed_.notify_all();
      return;
    }
    const std::size_t index = (first_ + ready_) % kSlots;
    lock.unlock();
    Filled filled = fill(slot(index));
    lock.lock();
    // The bytes before a failure or the end are delivered first.
    if (filled.size > 0) {
      sizes_[index] = filled.size;
      ++ready_;
    }
    failure_ = std::move(filled.failure);
    at_end_ = filled.ended && !failure_;
    ended_ = filled.ended;
    changed_.notify_all();
    if (ended_) return;
  }
}

ReadAheadInput::Filled ReadAheadInput::fill(std::span<std::uint8_t> into) {
  Filled filled;
  while (filled.size < into.size()) {
    // A failed allocation is a failure like any other, after the bytes before it.
    Result<std::size_t> got =
        failed_allocation_as_error([&] { return stream_->read(into.subspan(filled.size)); });
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

Result<std::size_t> ReadAheadInput::read(std::span<std::uint8_t> out) {
  if (helper_joined_) return stream_->read(out);
  std::size_t copied = 0;
  std::unique_lock lock(mutex_);
  while (copied < out.size()) {
    if (ready_ == 0) {
      if (copied > 0) break;
      changed_.wait(lock, [&] { return ready_ > 0 || ended_; });
      if (ready_ == 0) {
        lock.unlock();
        return finish(out);
      }
    }
    const std::size_t index = first_;
    const std::size_t n = std::min(out.size() - copied, sizes_[index] - taken_);
    lock.unlock();
    std::memcpy(out.data() + copied, slot(index).data() + taken_, n);
    copied += n;
    taken_ += n;
    lock.lock();
    if (taken_ == sizes_[index]) {
      taken_ = 0;
      first_ = (first_ + 1) % kSlots;
      --ready_;
      changed_.notify_all();
    }
  }
  return copied;
}

Result<std::size_t> ReadAheadInput::finish(std::span<std::uint8_t> out) {
  stop();
  if (failure_) {
    Error failure = std::move(*failure_);
    failure_.reset();
    return std::unexpected(std::move(failure));
  }
  if (at_end_) return 0;
  return stream_->read(out);
}

}  // namespace qel
