#pragma once

#include <cstdint>

#include "qel/error.hpp"

// Stopping long core work from outside: a load, a write, any loop over the
// bytes of a file. The caller installs a check on the thread that does the
// work; the work asks it right after a blocking system call was interrupted by
// a signal, after each slice of a wait for a pipe or a device (the signal may
// have gone to another thread), and at checkpoints every kCheckpointBytes of
// data. Work told to stop ends with Error::cancelled() and discards what it
// built, as it does after any other failure. Without a check installed nothing ever stops.
namespace qel::cancel {

class Check {
 public:
  virtual ~Check() = default;
  // True to stop. `interrupted`: a system call was just interrupted by a
  // signal or cut short by one, or a wait went a slice without news;
  // otherwise the work only passes a checkpoint, and a check that is costly
  // to ask may answer from what it last knew.
  virtual bool stop(bool interrupted) = 0;
};

// Installs a check for the current thread for the lifetime of this object.
class ScopedCheck {
 public:
  explicit ScopedCheck(Check& check) noexcept;
  ~ScopedCheck();
  ScopedCheck(const ScopedCheck&) = delete;
  ScopedCheck& operator=(const ScopedCheck&) = delete;

 private:
  Check* previous_;
};

// Bytes of data between two checkpoints of a loop.
inline constexpr std::uint64_t kCheckpointBytes = std::uint64_t{4} << 20;

// For a loop around a system call that was interrupted (EINTR), cut short
// by a signal, or waited a slice without news: Error::cancelled() when the
// thread's check says stop, else success, and the loop goes on.
Status after_interrupt();

// Counts the bytes a loop has handled and passes a checkpoint every
// kCheckpointBytes: Error::cancelled() when the thread's check says stop.
class Checkpoints {
 public:
  Status advance(std::uint64_t bytes) {
    pending_ += bytes;
    if (pending_ < kCheckpointBytes) return {};
    pending_ = 0;
    return reached();
  }

 private:
  static Status reached();

  std::uint64_t pending_ = 0;
};

}  // namespace qel::cancel
