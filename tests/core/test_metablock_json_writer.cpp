#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "qel/writer.hpp"

namespace qel {
namespace {

constexpr std::int64_t kNoonMay4th2026 = 1777896000;

std::string build(const FileInfoDraft& info, const std::vector<ChannelDef>& channels,
                  std::int64_t seconds = kNoonMay4th2026) {
  const auto text = build_metablock_json(info, channels, seconds);
  EXPECT_TRUE(text) << text.error().message();
  return text ? *text : std::string();
}

// The line of `text` that holds `key`, without indentation and line end.
std::string line_of(const std::string& text, const std::string& key) {
  const std::size_t at = text.find("\"" + key + "\"");
  if (at == std::string::npos) return "<absent>";
  return text.substr(at, text.find('\n', at) - at);
}

TEST(MetablockJson, ReproducesTheReferenceDocument) {
  FileInfoDraft info;
  info.latitude = 48.1;
  ChannelDef speed;
  speed.name = "engine.speed";
  speed.data_type = DataTypeId::Double;
  speed.physical_unit = "rpm";
  ChannelDef log;
  log.name = "log";
  log.data_type = DataTypeId::String;
  log.size_of_length_value = 4;
  const std::string expected = R"({
  "qel": {
    "channels": [
      {
        "channeltype": "scalar",
        "datatype": "double",
        "index": 0,
        "name": "engine.speed",
        "physicalunit": "rpm",
        "sizeoflengthvalue": 2
      },
      {
        "channeltype": "scalar",
        "datatype": "string",
        "index": 1,
        "name": "log",
        "sizeoflengthvalue": 4
      }
    ],
    "file": {
      "created_at_latitude": 48.1,
      "created_utc": "2026-05-04T12:00:00Z",
      "creator": "qel-core/0.0.1",
      "tag": "default"
    },
    "format": "qel5",
    "version": 5
  }
})";
  EXPECT_EQ(build(info, {speed, log}), expected);
}

// Shortest round-trip digits, plain notation from 1e-5 up to below 1e16.
TEST(MetablockJson, PositionNumbers) {
  const std::pair<double, std::string> numbers[] = {
      {-0.0, "-0.0"},
      {1e-5, "0.00001"},
      {9.99e-6, "9.99e-6"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {0.1 + 0.2, "0.30000000000000004"},
      {std::numeric_limits<double>::quiet_NaN(), "null"}};
  for (const auto& [value, text] : numbers) {
    FileInfoDraft info;
    info.latitude = value;
    EXPECT_EQ(line_of(build(info, {}), "created_at_latitude"),
              "\"created_at_latitude\": " + text + ",");
  }
}

// Floors before the epoch and pads the year to four digits.
TEST(MetablockJson, CreatedUtc) {
  const std::pair<std::int64_t, std::string> times[] = {{-1, "1969-12-31T23:59:59Z"},
                                                        {-62135596800, "0001-01-01T00:00:00Z"},
                                                        {253402300800, "10000-01-01T00:00:00Z"}};
  for (const auto& [seconds, text] : times) {
    EXPECT_EQ(line_of(build({}, {}, seconds), "created_utc"), "\"created_utc\": \"" + text + "\",");
  }
}

TEST(MetablockJson, EscapesStringsAndRefusesInvalidUtf8) {
  ChannelDef channel;
  channel.name = std::string("q\"b\\n\n\t\r\b\f\x01\x1f\x7f\xC3\xA9", 15);
  EXPECT_EQ(line_of(build({}, {channel}), "name"),
            "\"name\": \"q\\\"b\\\\n\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\xC3\xA9\",");
  channel.comment = "bad \xFF";
  const auto text = build_metablock_json({}, std::vector{channel}, 0);
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().kind(), ErrorKind::MetablockJson);
  EXPECT_EQ(text.error().message(),
            "QEL5 metablock JSON parse error: invalid utf-8 sequence of 1 bytes from index 4");
}

}  // namespace
}  // namespace qel
