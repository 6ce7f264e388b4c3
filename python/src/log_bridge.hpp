#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "module.hpp"
#include "py_ref.hpp"
#include "qel/log.hpp"
#include "signal_check.hpp"

namespace qelpy {

// Carries the core's diagnostics of one call to Python's `logging`. While the
// core runs without the interpreter lock, records are kept here; `replay`
// emits them in order once the lock is held again. Records nobody would see
// are refused before the core formats them.
class LogBridge final : public qel::log::Sink {
 public:
  // Records kept from one call; beyond this they are counted and summarised.
  static constexpr std::size_t kMaxRecords = 10000;
  static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

  // Asks `logging` which records have a handler and pass the effective level;
  // with the lock held. False with a Python error set.
  bool prepare();
  bool enabled(qel::log::Level level, std::string_view target) const override;
  // Whether any record would be kept; after prepare().
  bool wants_any() const noexcept;
  void write(qel::log::Level level, std::string_view target, std::string message) override;
  // Emits the kept records; with the lock held. False with a Python error set.
  bool replay();

 private:
  struct Kept {
    std::size_t target;
    qel::log::Level level;
    std::string message;
  };

  static constexpr std::array<std::string_view, 6> kTargets = {
      qel::log::kReader,   qel::log::kManager, qel::log::kMeta,
      qel::log::kMetaJson, qel::log::kMetaXml, qel::log::kWriter};

  static std::size_t target_slot(std::string_view target) noexcept;
  bool emit(std::size_t target, qel::log::Level level, PyObject* message);

  std::array<PyRef, kTargets.size()> loggers_;
  std::array<std::array<bool, 2>, kTargets.size()> wanted_{};
  std::vector<Kept> kept_;
  std::size_t kept_bytes_ = 0;
  std::uint64_t dropped_ = 0;
  std::size_t first_dropped_target_ = 0;
};

// Runs core work without the interpreter lock, its diagnostics going to
// `bridge` and Python's signal handlers reachable through `signals`. A bridge
// that wants nothing is not installed: the core then refuses its records at
// the cheapest check, which matters for the per-block ones.
template <class F>
auto run_released(LogBridge& bridge, SignalCheck& signals, F&& work) {
  return without_gil([&] {
    const qel::cancel::ScopedCheck check(signals);
    if (!bridge.wants_any()) return std::forward<F>(work)();
    const qel::log::ScopedSink sink(bridge);
    return std::forward<F>(work)();
  });
}

}  // namespace qelpy
