#include "memory/reclaimer.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "memory/slice_pool.hpp"

namespace qel::array_memory {
namespace {

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

Reclaimer& Reclaimer::shared() {
  // Never destroyed: its thread may still wait during exit.
  static Reclaimer* const reclaimer = new Reclaimer;
  return *reclaimer;
}

void Reclaimer::wake(Clock::time_point due) noexcept {
  const std::lock_guard lock(mutex_);
  if (!due_ || due < *due_) {
    due_ = due;
    changed_.notify_one();
  }
  const pid_t self = ::getpid();
  if (running_in_ == self) return;
  // The thread starts with every signal blocked: a signal sent to the process
  // must reach a thread that can act on it (one blocked in a read, say), not
  // this one, which would take it and leave the read waiting.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  try {
    std::thread([this] { run(); }).detach();
    running_in_ = self;
  } catch (...) {
    // Without a thread, kept memory still goes at the next allocation.
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Reclaimer::run() noexcept {
  ::pthread_setname_np(::pthread_self(), "qel-reclaim");
  std::unique_lock lock(mutex_);
  while (due_) {
    if (Clock::now() < *due_) {
      changed_.wait_until(lock, *due_);
      continue;
    }
    due_.reset();
    lock.unlock();
    const std::optional<Clock::time_point> next =
        earliest(MappingCache::shared().release_expired(), SlicePool::shared().release_expired());
    lock.lock();
    due_ = earliest(due_, next);
  }
  running_in_ = 0;
}

}  // namespace qel::array_memory
