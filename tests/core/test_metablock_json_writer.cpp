#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
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
  const std::string text = build(info, {speed, log});
  EXPECT_EQ(text.size(), 588u);
  EXPECT_EQ(text, expected);
}

TEST(MetablockJson, EveryMemberInByteOrder) {
  FileInfoDraft info =
      WriterBuilder().comment("").namespace_sep(".").reason("test").tag("t").creator("me").info();
  info.altitude = 10.0;
  info.longitude = std::numeric_limits<double>::quiet_NaN();
  ChannelDef full;
  full.name = "n";
  full.data_type = DataTypeId::GpsLocation;
  full.channel_type = ChannelTypeId::Matrix;
  full.physical_unit = "u";
  full.physical_dimension = "d";
  full.display_name = "";
  full.mime_type = "m";
  full.reference = "r";
  full.comment = "c";
  full.time_increment_ns = -5;
  full.spectrum_type = SpectrumType::AmpPhaseDeg;
  const std::string expected = R"({
  "qel": {
    "channels": [
      {
        "channeltype": "matrix",
        "comment": "c",
        "datatype": "gpslocation",
        "displayname": "",
        "index": 0,
        "mimetype": "m",
        "name": "n",
        "physicaldimension": "d",
        "physicalunit": "u",
        "reference": "r",
        "sizeoflengthvalue": 2,
        "spectrumtype": "ampphasedeg",
        "timeincrement": -5
      }
    ],
    "file": {
      "comment": "",
      "created_at_altitude": 10.0,
      "created_at_longitude": null,
      "created_utc": "1970-01-01T00:00:00Z",
      "creator": "me",
      "namespacesep": ".",
      "reason": "test",
      "tag": "t"
    },
    "format": "qel5",
    "version": 5
  }
})";
  EXPECT_EQ(build(info, {full}, 0), expected);
}

TEST(MetablockJson, NoChannelsGiveAnEmptyArray) {
  EXPECT_EQ(line_of(build({}, {}), "channels"), "\"channels\": [],");
}

struct NumberCase {
  double value;
  std::string text;
};

class PositionNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(PositionNumber, ShortestRoundTripWithPlainRange) {
  FileInfoDraft info;
  info.latitude = GetParam().value;
  EXPECT_EQ(line_of(build(info, {}), "created_at_latitude"),
            "\"created_at_latitude\": " + GetParam().text + ",");
}

// 48.1, 10.0 and NaN appear in the documents above.
INSTANTIATE_TEST_SUITE_P(
    Values, PositionNumber,
    testing::Values(NumberCase{-0.5, "-0.5"}, NumberCase{0.0, "0.0"}, NumberCase{-0.0, "-0.0"},
                    NumberCase{1e-5, "0.00001"}, NumberCase{1.5e-5, "0.000015"},
                    NumberCase{9.99e-6, "9.99e-6"}, NumberCase{1e15, "1000000000000000.0"},
                    NumberCase{9999999999999998.0, "9999999999999998.0"}, NumberCase{1e16, "1e16"},
                    NumberCase{-1.25e20, "-1.25e20"}, NumberCase{0.1 + 0.2, "0.30000000000000004"},
                    NumberCase{123456.789, "123456.789"}, NumberCase{5e-324, "5e-324"},
                    NumberCase{std::numeric_limits<double>::infinity(), "null"}));

struct TimeCase {
  std::int64_t seconds;
  std::string text;
};

class CreatedUtc : public testing::TestWithParam<TimeCase> {};

TEST_P(CreatedUtc, FloorsBeforeTheEpochAndPadsTheYear) {
  EXPECT_EQ(line_of(build({}, {}, GetParam().seconds), "created_utc"),
            "\"created_utc\": \"" + GetParam().text + "\",");
}

INSTANTIATE_TEST_SUITE_P(Values, CreatedUtc,
                         testing::Values(TimeCase{0, "1970-01-01T00:00:00Z"},
                                         TimeCase{-1, "1969-12-31T23:59:59Z"},
                                         TimeCase{-86400, "1969-12-31T00:00:00Z"},
                                         TimeCase{951868799, "2000-02-29T23:59:59Z"},
                                         TimeCase{-62135596800, "0001-01-01T00:00:00Z"},
                                         TimeCase{253402300800, "10000-01-01T00:00:00Z"}));

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
