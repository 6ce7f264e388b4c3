#pragma once

#include <chrono>

#include "module.hpp"
#include "qel/cancel.hpp"

namespace qelpy {

// Lets Python's signal handlers run while core work goes on without the
// interpreter lock, so that Ctrl-C reaches a load blocked in read() or busy
// with a large file. When the core asks, the lock is taken briefly and the
// handlers run; one that raises (KeyboardInterrupt) stops the work, and its
// exception is raised once the work has returned. Handlers run only in the
// main thread, so work on other threads is never asked about.
class SignalCheck final : public qel::cancel::Check {
 public:
  // Checkpoints that come sooner than this after the last look are passed
  // without one, as taking the lock may wait for another thread's turn.
  static constexpr std::chrono::milliseconds kCheckpointInterval{50};

  // With the lock held.
  SignalCheck();
  // With the lock held.
  ~SignalCheck() override;
  SignalCheck(const SignalCheck&) = delete;
  SignalCheck& operator=(const SignalCheck&) = delete;

  bool stop(bool interrupted) override;
  // With the lock held again after the work: raises the exception a handler
  // raised while the work went on, which then stopped it; false when none did.
  bool raise_caught();

 private:
  bool main_thread_;
  std::chrono::steady_clock::time_point last_look_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

}  // namespace qelpy
