#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "qel/writer.hpp"

namespace qel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// The first failing check is named, with the channel, and nothing is added.
TEST(AddChannel, RefusalsInOrderOfTheChecks) {
  const ChannelType tensor = ChannelType::other("tensor");
  const std::tuple<std::uint8_t, DataType, ChannelType, std::string> refusals[] = {
      {3, DataType::unsupported("x"), tensor, "size_of_length_value must be 2 or 4, got 3"},
      {4, DataType::unsupported("x"), tensor, "data type Unsupported(_) cannot be written"},
      {2, DataTypeId::ByteArray, tensor,
       "bytearray is a read-side alias; writers must declare data type as Binary"},
      {2, DataTypeId::Binary, tensor, "channel type Unsupported(_) cannot be written"}};
  WriterBuilder builder;
  for (const auto& [width, data_type, channel_type, message] : refusals) {
    ChannelDef channel = def("a\"b", data_type);
    channel.size_of_length_value = width;
    channel.channel_type = channel_type;
    const auto result = builder.add_channel(std::move(channel));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidMetablock);
    EXPECT_EQ(result.error().message(), "invalid QEL metablock: channel \"a\\\"b\": " + message);
  }
  EXPECT_EQ(builder.channel_count(), 0u);
}

TEST(AddChannel, AcceptsExactly65536ChannelsAndDuplicateNames) {
  WriterBuilder builder;
  for (std::size_t i = 0; i < 65535; ++i)
    ASSERT_TRUE(builder.add_channel(def("same", DataTypeId::Double)));
  EXPECT_EQ(builder.add_channel(def("same", DataTypeId::Double)).value_or(0), 65535u);
  EXPECT_EQ(error_of(builder.add_channel(def("one more", DataTypeId::Double))),
            "invalid QEL metablock: writer reached the 65536 channel limit");
  EXPECT_EQ(builder.data().size(), 65536u);
}

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

// Every refusal names the first failing check and leaves the builder as it was.
TEST(Samples, RefusalsChangeNothing) {
  WriterBuilder builder = with_channels({DataTypeId::Double, DataTypeId::Int32, DataTypeId::Binary,
                                         DataTypeId::String, DataTypeId::Float});
  const std::vector<std::int64_t> two{7, 8}, three{7, 8, 9};
  const std::vector<float> f32{1.0f};
  const std::vector<double> f64{1.0};
  const std::vector<std::int32_t> ints{1, 2};
  const std::vector<std::string_view> text{"x"}, broken{"ok", "\xC3("};
  const std::string payload = "invalid QEL block payload: channel ";
  const std::pair<Status, std::string> refusals[] = {
      {builder.add_binary_samples(5, {}, {}), "channel \"(index 5)\" not found"},
      {builder.add_timestamped_samples<std::int32_t>(0, three, ints),
       "channel 0 data type mismatch: expected Double, got block payload Int32"},
      {builder.add_string_samples(3, {}, text), payload + "3: timestamp len 0 != values len 1"},
      {builder.add_string_samples(3, two, broken),
       payload + "3: string sample 1 is not valid UTF-8: invalid utf-8 sequence of 1 bytes from "
                 "index 0"},
  };
  for (const auto& [status, message] : refusals) EXPECT_EQ(error_of(status), message);
  // Rates in plain decimal with the fewest digits.
  const std::pair<double, std::string> rates[] = {
      {-0.0, "-0"}, {kNaN, "NaN"}, {-1e-7, "-0.0000001"}, {-1e20, "-100000000000000000000"}};
  for (const auto& [rate, shown] : rates) {
    EXPECT_EQ(error_of(builder.add_equidistant_segment_f32(4, 0, f32, rate)),
              payload + "4: equidistant sample_rate_hz must be > 0, got " + shown);
  }
  // An integer channel is refused before the rate is looked at.
  const std::string integer = error_of(builder.add_equidistant_segment_f64(1, 0, f64, kNaN));
  EXPECT_TRUE(integer.starts_with(payload + "1: equidistant blocks support only float and double"))
      << integer;
  EXPECT_TRUE(integer.ends_with("(channel declares Int32)")) << integer;
  for (const ChannelData& data : builder.data()) {
    EXPECT_TRUE(std::holds_alternative<EmptyData>(data));
  }
}

// Memory that cannot be had is an error value, and the builder stays usable. Only
// the spans' sizes are read before the copy fails to get its memory.
TEST(Samples, AnAllocationThatFailsIsAnError) {
  WriterBuilder builder = with_channels({DataTypeId::Double, DataTypeId::Int64});
  const double value = 0;
  const std::int64_t time = 0;
  constexpr std::size_t kHuge = std::size_t{1} << 58;
  const Status statuses[] = {
      builder.add_equidistant_segment_f64(0, 0, std::span(&value, kHuge), 1.0),
      builder.add_timestamped_samples<std::int64_t>(1, std::span(&time, kHuge),
                                                    std::span(&time, kHuge)),
  };
  for (const Status& status : statuses) {
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), ErrorKind::OutOfMemory);
  }
  EXPECT_TRUE(builder.add_equidistant_segment_f64(0, 0, std::span(&value, 1), 1.0));
}

}  // namespace
}  // namespace qel
