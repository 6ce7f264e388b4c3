// Small helpers shared by the core tests.
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/log.hpp"

namespace qel::test {

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string invalid(std::string_view message) {
  return "invalid QEL metablock: " + std::string(message);
}

// Peak resident set of this process so far, in KiB.
inline long max_rss_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Installs a capturing log sink for its lifetime.
struct Captured {
  qel::log::CapturingSink sink;
  qel::log::ScopedSink scope{sink};
  std::vector<std::string> messages(qel::log::Level level, std::string_view target) const {
    std::vector<std::string> out;
    for (const auto& r : sink.records) {
      if (r.level == level && r.target == target) out.push_back(r.message);
    }
    return out;
  }
};

// One expected log outcome of parsing a document: the messages of one level
// and target, and how many records there are in all.
struct LogCase {
  std::string doc;
  qel::log::Level level;
  std::string_view target;
  std::vector<std::string> messages;
  std::size_t total;
};

}  // namespace qel::test
