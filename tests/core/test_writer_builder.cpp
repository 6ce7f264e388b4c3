#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "qel/writer.hpp"

namespace qel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ChannelDef def(std::string name, DataType type) {
  ChannelDef out;
  out.name = std::move(name);
  out.data_type = std::move(type);
  return out;
}

WriterBuilder with_channels(std::initializer_list<DataTypeId> types) {
  WriterBuilder builder;
  for (const DataTypeId type : types) EXPECT_TRUE(builder.add_channel(def("c", type)));
  return builder;
}

template <class T>
std::string error_of(const Result<T>& result) {
  return result ? "<success>" : result.error().message();
}

struct ChannelDefCase {
  std::string label;
  std::uint8_t size_of_length_value;
  DataType data_type;
  ChannelType channel_type;
  std::string message;
};

class AddChannelRefusal : public testing::TestWithParam<ChannelDefCase> {};

TEST_P(AddChannelRefusal, FirstFailingCheckNamesTheChannel) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ChannelDef channel = def("a\"b", param.data_type);
  channel.size_of_length_value = param.size_of_length_value;
  channel.channel_type = param.channel_type;
  const auto result = builder.add_channel(std::move(channel));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidMetablock);
  EXPECT_EQ(result.error().message(),
            "invalid QEL metablock: channel \"a\\\"b\": " + param.message);
  EXPECT_EQ(builder.channel_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, AddChannelRefusal,
    testing::Values(
        ChannelDefCase{"LengthValueWinsOverAll", 3, DataType::unsupported("x"),
                       ChannelType::other("tensor"), "size_of_length_value must be 2 or 4, got 3"},
        ChannelDefCase{"LengthValueZero", 0, DataTypeId::Double, ChannelTypeId::Scalar,
                       "size_of_length_value must be 2 or 4, got 0"},
        ChannelDefCase{"UnsupportedBeforeChannelType", 4, DataType::unsupported("x"),
                       ChannelType::other("tensor"), "data type Unsupported(_) cannot be written"},
        ChannelDefCase{"ByteArrayBeforeChannelType", 2, DataTypeId::ByteArray,
                       ChannelType::other("tensor"),
                       "bytearray is a read-side alias; writers must declare data type as Binary"},
        ChannelDefCase{"OtherChannelType", 2, DataTypeId::Binary, ChannelType::other("tensor"),
                       "channel type Unsupported(_) cannot be written"}),
    [](const auto& test) { return test.param.label; });

TEST(AddChannel, AcceptsExactly65536ChannelsAndDuplicateNames) {
  WriterBuilder builder;
  for (std::size_t i = 0; i < WriterBuilder::kMaxChannels; ++i) {
    const auto index = builder.add_channel(def("same", DataTypeId::Double));
    ASSERT_TRUE(index);
    ASSERT_EQ(*index, i);
  }
  const auto refused = builder.add_channel(def("one more", DataTypeId::Double));
  EXPECT_EQ(error_of(refused), "invalid QEL metablock: writer reached the 65536 channel limit");
  EXPECT_EQ(builder.channel_count(), WriterBuilder::kMaxChannels);
  EXPECT_EQ(builder.data().size(), WriterBuilder::kMaxChannels);
}

struct RateCase {
  double rate;
  std::string text;
};

class RateFormat : public testing::TestWithParam<RateCase> {};

TEST_P(RateFormat, PlainDecimalWithFewestDigits) {
  EXPECT_EQ(format_rate(GetParam().rate), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Values, RateFormat,
                         testing::Values(RateCase{1.5, "1.5"}, RateCase{0.0, "0"},
                                         RateCase{-0.0, "-0"}, RateCase{-2.0, "-2"},
                                         RateCase{1e-7, "0.0000001"}, RateCase{0.1, "0.1"},
                                         RateCase{1e20, "100000000000000000000"},
                                         RateCase{kNaN, "NaN"}, RateCase{-kNaN, "NaN"},
                                         RateCase{kInf, "inf"}, RateCase{-kInf, "-inf"}));

struct SegmentCase {
  std::string label;
  DataTypeId declared;
  bool as_f32;
  double rate;
  std::string message;
};

class EquidistantRefusal : public testing::TestWithParam<SegmentCase> {};

TEST_P(EquidistantRefusal, FirstFailingCheckLeavesBuilderUnchanged) {
  const auto& param = GetParam();
  WriterBuilder builder = with_channels({param.declared});
  const std::vector<float> f32{1.0f};
  const std::vector<double> f64{1.0};
  const Status status = param.as_f32 ? builder.add_equidistant_segment_f32(0, 0, f32, param.rate)
                                     : builder.add_equidistant_segment_f64(0, 0, f64, param.rate);
  EXPECT_EQ(error_of(status), param.message);
  EXPECT_TRUE(std::holds_alternative<EmptyData>(builder.data()[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, EquidistantRefusal,
    testing::Values(
        SegmentCase{"IntegerChannelWinsOverRate", DataTypeId::Int32, false, kNaN,
                    "invalid QEL block payload: channel 0: equidistant blocks support only float "
                    "and double per spec rev 2026-05-04 (channel declares Int32)"},
        SegmentCase{"FloatValuesOnDoubleChannel", DataTypeId::Double, true, 0.0,
                    "channel 0 data type mismatch: expected Double, got block payload Float"},
        SegmentCase{"RateZero", DataTypeId::Double, false, 0.0,
                    "invalid QEL block payload: channel 0: equidistant sample_rate_hz must be > 0, "
                    "got 0"},
        SegmentCase{"RateNaN", DataTypeId::Float, true, kNaN,
                    "invalid QEL block payload: channel 0: equidistant sample_rate_hz must be > 0, "
                    "got NaN"},
        SegmentCase{"RateNegative", DataTypeId::Double, false, -0.25,
                    "invalid QEL block payload: channel 0: equidistant sample_rate_hz must be > 0, "
                    "got -0.25"}),
    [](const auto& test) { return test.param.label; });

TEST(Storage, KindsCannotBeMixedOnOneChannel) {
  WriterBuilder builder = with_channels({DataTypeId::Double, DataTypeId::Double});
  const std::vector<std::int64_t> stamps{1};
  const std::vector<double> values{1.0};
  ASSERT_TRUE(builder.add_equidistant_segment_f64(0, 0, values, 1.0));
  ASSERT_TRUE(builder.add_timestamped_samples<double>(1, stamps, values));
  EXPECT_EQ(error_of(builder.add_timestamped_samples<double>(0, stamps, values)),
            "channel 0 mixes equidistant and timestamped blocks");
  EXPECT_EQ(error_of(builder.add_equidistant_segment_f64(1, 0, values, 1.0)),
            "channel 1 mixes equidistant and timestamped blocks");
  EXPECT_EQ(std::get<TimestampedData>(builder.data()[1]).timestamps.size(), 1u);
}

TEST(Samples, UndeclaredChannelIsNotFound) {
  WriterBuilder builder = with_channels({DataTypeId::String});
  const std::string expected = "channel \"(index 1)\" not found";
  EXPECT_EQ(error_of(builder.add_equidistant_segment_f64(1, 0, {}, 1.0)), expected);
  EXPECT_EQ(error_of(builder.add_timestamped_samples<double>(1, {}, {})), expected);
  EXPECT_EQ(error_of(builder.add_string_samples(1, {}, {})), expected);
  EXPECT_EQ(error_of(builder.add_binary_samples(1, {}, {})), expected);
}

struct TimestampedCase {
  std::string label;
  DataTypeId declared;
  std::size_t timestamps;
  std::string message;
};

class TimestampedRefusal : public testing::TestWithParam<TimestampedCase> {};

TEST_P(TimestampedRefusal, FirstFailingCheckLeavesBuilderUnchanged) {
  const auto& param = GetParam();
  WriterBuilder builder = with_channels({param.declared});
  const std::vector<std::int64_t> stamps(param.timestamps, 7);
  const std::vector<std::int32_t> values{1, 2};
  EXPECT_EQ(error_of(builder.add_timestamped_samples<std::int32_t>(0, stamps, values)),
            param.message);
  EXPECT_TRUE(std::holds_alternative<EmptyData>(builder.data()[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Checks, TimestampedRefusal,
    testing::Values(
        TimestampedCase{"TypeWinsOverLength", DataTypeId::Double, 3,
                        "channel 0 data type mismatch: expected Double, got block payload Int32"},
        TimestampedCase{"LengthMismatch", DataTypeId::Int32, 3,
                        "invalid QEL block payload: channel 0: timestamp len 3 != values len 2"}),
    [](const auto& test) { return test.param.label; });

TEST(Variable, ChecksTypeLengthStorageAndUtf8) {
  WriterBuilder builder =
      with_channels({DataTypeId::Binary, DataTypeId::String, DataTypeId::String});
  const std::vector<std::int64_t> one{1};
  const std::vector<std::string_view> text{"x"};
  EXPECT_EQ(error_of(builder.add_string_samples(0, one, text)),
            "channel 0 data type mismatch: expected Binary, got block payload String");
  EXPECT_EQ(error_of(builder.add_string_samples(1, {}, text)),
            "invalid QEL block payload: channel 1: timestamp len 0 != values len 1");
  const std::vector<std::string_view> broken{"ok", "\xC3("};
  const std::vector<std::int64_t> two{1, 2};
  EXPECT_EQ(error_of(builder.add_string_samples(2, two, broken)),
            "invalid QEL block payload: channel 2: string sample 1 is not valid UTF-8: invalid "
            "utf-8 sequence of 1 bytes from index 0");
  EXPECT_TRUE(std::holds_alternative<EmptyData>(builder.data()[2]));
}

}  // namespace
}  // namespace qel
