// Small helpers shared by the core tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.hpp"
#include "qel/log.hpp"
#include "qel/meta.hpp"
#include "qel/types.hpp"
#include "qel/writer.hpp"

namespace qel::test {

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string invalid(std::string_view message) {
  return "invalid QEL metablock: " + std::string(message);
}

// One double channel "c" holding 0, 1, 2, ... times `scale`, one equidistant
// segment.
inline WriterBuilder ramp_builder(std::size_t samples, double scale = 1.0) {
  WriterBuilder builder;
  ChannelDef def;
  def.name = "c";
  def.data_type = DataTypeId::Double;
  EXPECT_TRUE(builder.add_channel(def));
  std::vector<double> values(samples);
  std::iota(values.begin(), values.end(), 0.0);
  for (double& value : values) value *= scale;
  EXPECT_TRUE(builder.add_equidistant_segment_f64(0, 0, values, 1.0));
  return builder;
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

// Every captured record as "W target: message" or "D target: message", without "qel_core::".
inline std::vector<std::string> log_lines(const Captured& captured) {
  std::vector<std::string> out;
  for (const auto& r : captured.sink.records) {
    std::string_view target = r.target;
    if (target.starts_with("qel_core::")) target.remove_prefix(10);
    out.push_back((r.level == qel::log::Level::Warn ? "W " : "D ") + std::string(target) + ": " +
                  r.message);
  }
  return out;
}

namespace detail {
inline void word(std::string& out, std::string_view name, const std::optional<std::string>& text) {
  if (text) out += " " + std::string(name) + "=" + qel::quoted(*text);
}
inline void word(std::string& out, std::string_view name, std::optional<double> number) {
  if (!number) return;
  std::array<char, 32> buffer{};
  char* end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), *number).ptr;
  out += " " + std::string(name) + "=" + std::string(buffer.data(), end);
}
}  // namespace detail

// What a metablock reader gave, as "name=value" words with absent members left out.
inline std::string describe(const qel::FileInfo& f) {
  std::string out;
  detail::word(out, "created_utc", f.created_utc);
  detail::word(out, "creator", f.creator);
  detail::word(out, "reason", f.reason);
  detail::word(out, "tag", f.tag);
  detail::word(out, "comment", f.comment);
  detail::word(out, "namespacesep", f.namespacesep);
  detail::word(out, "latitude", f.created_at_latitude);
  detail::word(out, "longitude", f.created_at_longitude);
  detail::word(out, "altitude", f.created_at_altitude);
  return out.empty() ? out : out.substr(1);
}

inline std::string describe(const qel::meta::Channel& c) {
  const auto& type = c.channeltype;
  std::string out =
      "index=" + std::to_string(c.index) + " name=" + qel::quoted(c.name) + " channeltype=" +
      (type.id() == qel::ChannelTypeId::Other ? "Other" + qel::quoted(type.wire_spelling())
                                              : std::string(type.wire_spelling())) +
      " datatype=" + c.datatype.display_name() +
      " sizeoflengthvalue=" + std::to_string(c.sizeoflengthvalue);
  if (c.timeincrement) out += " timeincrement=" + std::to_string(*c.timeincrement);
  detail::word(out, "mimetype", c.mimetype);
  detail::word(out, "physicalunit", c.physicalunit);
  detail::word(out, "physicaldimension", c.physicaldimension);
  detail::word(out, "displayname", c.displayname);
  detail::word(out, "comment", c.comment);
  detail::word(out, "reference", c.reference);
  if (c.spectrumtype) out += " spectrumtype=" + std::string(qel::wire_spelling(*c.spectrumtype));
  return out;
}

inline std::string describe(const qel::Info& info) {
  std::string out = "name=" + qel::quoted(info.name) + " value=" + qel::quoted(info.value) +
                    " datatype=" + info.datatype.display_name();
  detail::word(out, "physicalunit", info.physicalunit);
  return out;
}

// A refused document: the message (its start for a removed field) and the error kind.
struct Refusal {
  std::string doc;
  std::string message;
  qel::ErrorKind kind = qel::ErrorKind::InvalidMetablock;
};

template <class Parse>
void expect_refusals(std::span<const Refusal> rows, Parse parse) {
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.doc);
    auto result = parse(row.doc);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), row.kind);
    if (row.kind == qel::ErrorKind::RemovedField) {
      EXPECT_TRUE(result.error().message().starts_with(row.message)) << result.error().message();
    } else {
      EXPECT_EQ(result.error().message(), row.message);
    }
  }
}

// Checks the captured records one by one against the starts of their lines.
inline void expect_log_starts(const Captured& captured, const std::vector<std::string>& starts) {
  const auto lines = log_lines(captured);
  ASSERT_EQ(lines.size(), starts.size()) << ::testing::PrintToString(lines);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i].starts_with(starts[i])) << lines[i] << "\n  expected start: " << starts[i];
  }
}

}  // namespace qel::test
