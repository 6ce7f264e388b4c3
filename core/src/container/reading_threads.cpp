#include "container/reading_threads.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <thread>

namespace qel::reading_threads {
namespace {

// Readers and helpers together, so that a claim is one exchange.
std::atomic<unsigned> busy{0};

unsigned count_processors() noexcept {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const int count = CPU_COUNT(&allowed);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned reported = std::thread::hardware_concurrency();
  return reported > 0 ? reported : 1;
}

// A child of fork() has only the thread that forked, which was in no load:
// the parent's loads and helpers are not the child's.
void forget_in_child() noexcept {
  busy.store(0, std::memory_order_relaxed);
}

}  // namespace

unsigned processors() noexcept {
  static const unsigned count = count_processors();
  return count;
}

Reader::Reader() noexcept {
  [[maybe_unused]] static const int registered =
      ::pthread_atfork(nullptr, nullptr, forget_in_child);
  busy.fetch_add(1, std::memory_order_relaxed);
}

Reader::~Reader() {
  busy.fetch_sub(1, std::memory_order_relaxed);
}

bool claim_helper() noexcept {
  const unsigned limit = processors();
  unsigned current = busy.load(std::memory_order_relaxed);
  while (current + 1 <= limit) {
    if (busy.compare_exchange_weak(current, current + 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

void release_helper() noexcept {
  busy.fetch_sub(1, std::memory_order_relaxed);
}

bool crowded() noexcept {
  return busy.load(std::memory_order_relaxed) > processors();
}

}  // namespace qel::reading_threads
