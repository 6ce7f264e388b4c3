#include "log_bridge.hpp"

#include <algorithm>
#include <functional>

namespace qelpy {
namespace {

constexpr int kPythonLevels[] = {30, 10};  // logging.WARNING, logging.DEBUG

int python_level(qel::log::Level level) noexcept {
  return kPythonLevels[static_cast<int>(level)];
}

// "qel_core::reader" is the logger "qel_core.reader".
std::string logger_name(std::string_view target) {
  std::string name;
  for (std::size_t i = 0; i < target.size(); ++i) {
    if (target.substr(i, 2) == "::") {
      name += '.';
      ++i;
    } else {
      name += target[i];
    }
  }
  return name;
}

// The truth of a call's new result: 1, 0, or -1 with a Python error set.
int truth(PyObject* answer) {
  const PyRef owned(answer);
  return owned ? PyObject_IsTrue(owned.get()) : -1;
}

}  // namespace

std::size_t LogBridge::target_slot(std::string_view target) noexcept {
  for (std::size_t slot = 0; slot < kTargets.size(); ++slot) {
    if (kTargets[slot] == target) return slot;
  }
  return kTargets.size();
}

bool LogBridge::prepare() {
  const PyRef logging(PyImport_ImportModule("logging"));
  if (!logging) return false;
  for (std::size_t slot = 0; slot < kTargets.size(); ++slot) {
    loggers_[slot] = PyRef(
        PyObject_CallMethod(logging.get(), "getLogger", "s", logger_name(kTargets[slot]).c_str()));
    if (!loggers_[slot]) return false;
    // Without any handler Python would print through its last-resort
    // handler; a load must stay silent then.
    PyObject* logger = loggers_[slot].get();
    const int handled = truth(PyObject_CallMethod(logger, "hasHandlers", nullptr));
    if (handled < 0) return false;
    for (const qel::log::Level level : {qel::log::Level::Warn, qel::log::Level::Debug}) {
      const int on =
          handled ? truth(PyObject_CallMethod(logger, "isEnabledFor", "i", python_level(level)))
                  : 0;
      if (on < 0) return false;
      wanted_[slot][static_cast<int>(level)] = on != 0;
    }
  }
  return true;
}

bool LogBridge::enabled(qel::log::Level level, std::string_view target) const {
  const std::size_t slot = target_slot(target);
  return slot < kTargets.size() && wanted_[slot][static_cast<int>(level)];
}

bool LogBridge::wants_any() const noexcept {
  return std::ranges::any_of(
      wanted_, [](const auto& levels) { return std::ranges::any_of(levels, std::identity{}); });
}

void LogBridge::write(qel::log::Level level, std::string_view target, std::string message) {
  const std::size_t slot = target_slot(target);
  if (slot == kTargets.size()) return;
  if (kept_.size() >= kMaxRecords || kept_bytes_ + message.size() > kMaxBytes) {
    if (dropped_++ == 0) first_dropped_target_ = slot;
    return;
  }
  kept_bytes_ += message.size();
  kept_.push_back({slot, level, std::move(message)});
}

bool LogBridge::emit(std::size_t target, qel::log::Level level, PyObject* message) {
  if (message == nullptr) return false;
  const PyRef done(
      PyObject_CallMethod(loggers_[target].get(), "log", "iO", python_level(level), message));
  return static_cast<bool>(done);
}

bool LogBridge::replay() {
  for (const Kept& record : kept_) {
    const PyRef text(PyUnicode_DecodeUTF8(
        record.message.data(), static_cast<Py_ssize_t>(record.message.size()), "replace"));
    if (!emit(record.target, record.level, text.get())) return false;
  }
  kept_.clear();
  if (dropped_ == 0) return true;
  const PyRef summary(PyUnicode_FromFormat(
      "%llu further log records of this call were dropped (limit %zu records or %zu MiB)",
      static_cast<unsigned long long>(dropped_), kMaxRecords, kMaxBytes >> 20));
  dropped_ = 0;
  return emit(first_dropped_target_, qel::log::Level::Warn, summary.get());
}

}  // namespace qelpy
