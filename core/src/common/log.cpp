#include "qel/log.hpp"

#include "common/deferred_log.hpp"

#include <atomic>
#include <utility>

namespace qel::log {
namespace {
thread_local Sink* current_sink = nullptr;
// Sinks installed on any thread. While there are none, which is the usual
// case, a record is refused without looking up the thread's sink; a thread
// always sees its own installations.
std::atomic<std::size_t> installed_sinks{0};
}  // namespace

ScopedSink::ScopedSink(Sink& sink) noexcept : previous_(current_sink) {
  installed_sinks.fetch_add(1, std::memory_order_relaxed);
  current_sink = &sink;
}

ScopedSink::~ScopedSink() {
  current_sink = previous_;
  installed_sinks.fetch_sub(1, std::memory_order_relaxed);
}

bool enabled(Level level, std::string_view target) noexcept {
  if (installed_sinks.load(std::memory_order_relaxed) == 0) return false;
  return current_sink != nullptr && current_sink->enabled(level, target);
}

void prepare_thread() noexcept {
  [[maybe_unused]] Sink* volatile sink = current_sink;
}

void write(Level level, std::string_view target, std::string message) {
  if (current_sink != nullptr) current_sink->write(level, target, std::move(message));
}

DeferringSink::DeferringSink() noexcept : outer_(current_sink) {}

bool DeferringSink::enabled(Level level, std::string_view target) const {
  return outer_ != nullptr && outer_->enabled(level, target);
}

void DeferringSink::write(Level level, std::string_view target, std::string message) {
  records_.push_back({level, std::string(target), std::move(message)});
}

void replay(std::vector<Record>& records) {
  for (Record& record : records) write(record.level, record.target, std::move(record.message));
}

}  // namespace qel::log
