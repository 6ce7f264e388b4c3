#include "qel/log.hpp"

#include <utility>

namespace qel::log {
namespace {
thread_local Sink* current_sink = nullptr;
}  // namespace

ScopedSink::ScopedSink(Sink& sink) noexcept : previous_(current_sink) {
  current_sink = &sink;
}

ScopedSink::~ScopedSink() {
  current_sink = previous_;
}

bool enabled(Level level, std::string_view target) noexcept {
  return current_sink != nullptr && current_sink->enabled(level, target);
}

void write(Level level, std::string_view target, std::string message) {
  if (current_sink != nullptr) current_sink->write(level, target, std::move(message));
}

}  // namespace qel::log
