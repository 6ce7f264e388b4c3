#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "memory/mapping_cache.hpp"

namespace qel::array_memory {

// Gives back the memory kept for reuse when it falls due, from a thread of
// its own that runs only while something is kept: memory freed by the last
// call of a program that then goes quiet is not left resident.
class Reclaimer {
 public:
  static Reclaimer& shared();

  // Something kept falls due at `due`.
  void wake(Clock::time_point due) noexcept;

 private:
  Reclaimer() = default;
  void run() noexcept;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Clock::time_point> due_;
  // The process whose thread runs, 0 for none: a forked child has none.
  pid_t running_in_ = 0;
};

}  // namespace qel::array_memory
