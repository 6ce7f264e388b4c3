#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "samples/channel_builder.hpp"

namespace qel {
namespace {

using test::Bytes;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Decoded blocks over bytes this object keeps alive.
class Blocks {
 public:
  BlockKind start(std::int64_t start, double rate, std::vector<double> values) {
    return StartData{{start, rate, doubles(values)}};
  }
  BlockKind continued(std::vector<double> values) { return ContinuedData{doubles(values)}; }
  BlockKind absolute(std::vector<std::pair<std::int64_t, double>> records) {
    Bytes raw;
    for (auto [t, v] : records) raw.i64(t).f64(v);
    return AbsTimestamped{
        TimestampedRecords{DataTypeId::Double, keep(std::move(raw)), records.size()}};
  }
  BlockKind relative(std::vector<std::pair<std::uint32_t, double>> records) {
    Bytes raw;
    for (auto [d, v] : records) raw.u32(d).f64(v);
    return RelTimestamped{{DataTypeId::Double, keep(std::move(raw)), records.size()}};
  }
  BlockKind skipped() { return Skipped{SkipReason::ReservedType, 3, 9}; }

 private:
  NumericRun doubles(const std::vector<double>& values) {
    Bytes raw;
    for (double v : values) raw.f64(v);
    return {DataTypeId::Double, keep(std::move(raw)), values.size()};
  }
  const std::uint8_t* keep(Bytes raw) { return kept_.emplace_back(std::move(raw)).vec().data(); }
  std::deque<Bytes> kept_;
};

meta::Channel definition(DataType type) {
  meta::Channel channel;
  channel.index = 7;
  channel.name = "ch";
  channel.datatype = std::move(type);
  return channel;
}

struct SequenceCase {
  const char* name;
  DataTypeId type;
  std::string sequence;  // S start, C continued, A absolute, Z empty absolute, R relative, K skip
  std::string outcome;   // the storage kind, or the error text
};

class BuilderSequence : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(BuilderSequence, DecidesStorageOrFails) {
  const SequenceCase& c = GetParam();
  Blocks blocks;
  ChannelBuilder builder(definition(c.type));
  for (char step : c.sequence) {
    BlockKind block = step == 'S'   ? blocks.start(0, 1000.0, {1, 2, 3})
                      : step == 'C' ? blocks.continued({4})
                      : step == 'A' ? blocks.absolute({{10, 1.0}})
                      : step == 'Z' ? blocks.absolute({})
                      : step == 'R' ? blocks.relative({{5, 2.0}})
                                    : blocks.skipped();
    const Status status = builder.apply_block(block);
    if (!status) {
      EXPECT_EQ(status.error().message(), c.outcome);
      return;
    }
  }
  const std::optional<Channel> channel = std::move(builder).finalize();
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->storage_kind(), c.outcome);
}

const std::string kMixed = "channel 7 mixes equidistant and timestamped blocks";
const std::string kNoStart = "channel 7 produced bcContinuedData without a preceding bcStartData";

INSTANTIATE_TEST_SUITE_P(
    States, BuilderSequence,
    ::testing::Values(
        SequenceCase{"StartContinuedStart", DataTypeId::Double, "SCS", "equidistant"},
        SequenceCase{"ContinuedFirst", DataTypeId::Double, "C", kNoStart},
        SequenceCase{"AbsoluteThenStart", DataTypeId::Double, "AS", kMixed},
        SequenceCase{"RelativeAfterStart", DataTypeId::Double, "SR", kMixed},
        SequenceCase{"RelativeAfterEmptyAbsolute", DataTypeId::Double, "ZR",
                     "channel 7 produced bcContinuedRelStampData without an absolute anchor"},
        SequenceCase{"RelativeAfterAbsolute", DataTypeId::Double, "ARRA", "timestamped"},
        SequenceCase{"WrongPayloadType", DataTypeId::Float, "S",
                     "channel 7 data type mismatch: expected Float, got block payload Double"},
        SequenceCase{"StringChannelWithoutBlocks", DataTypeId::String, "K", "variable"}),
    [](const auto& test) { return std::string(test.param.name); });

// Records of 4- and 8-byte values are split into columns by vector code in
// groups and by a plain loop for the rest; other widths take the plain loop.
template <class T>
void expect_columns(DataTypeId type, std::size_t count) {
  Bytes raw;
  for (std::size_t i = 0; i < count; ++i) {
    raw.i64(static_cast<std::int64_t>(i * 1000003) - 7).le(static_cast<T>(i * 37 + 1));
  }
  ChannelBuilder builder(definition(type));
  ASSERT_TRUE(
      builder.apply_block(AbsTimestamped{TimestampedRecords{type, raw.vec().data(), count}}));
  const Channel channel = *std::move(builder).finalize();
  const auto& storage = std::get<TimestampedStorage>(channel.storage);
  const auto& values = std::get<CowArray<T>>(storage.values);
  ASSERT_EQ(values.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_EQ(storage.timestamps[i], static_cast<std::int64_t>(i * 1000003) - 7) << i;
    ASSERT_EQ(values[i], static_cast<T>(i * 37 + 1)) << i;
  }
}

class RecordColumns : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RecordColumns, HoldEveryRecordOfEachWidth) {
  const std::size_t count = GetParam();
  expect_columns<std::int32_t>(DataTypeId::Int32, count);
  expect_columns<double>(DataTypeId::Double, count);
  expect_columns<std::int16_t>(DataTypeId::Int16, count);
}

INSTANTIATE_TEST_SUITE_P(Counts, RecordColumns, ::testing::Values(0, 15, 16, 17, 1000));

// Relative times run from the last appended time, not the largest; an empty
// block leaves that.
TEST(RelativeTimestamps, RunFromTheAnchorAndSaturate) {
  Blocks blocks;
  ChannelBuilder builder(definition(DataTypeId::Double));
  ASSERT_TRUE(builder.apply_block(blocks.absolute({{1000, 0.5}, {50, 1.0}})));
  ASSERT_TRUE(builder.apply_block(blocks.absolute({})));
  ASSERT_TRUE(builder.apply_block(blocks.relative({{5, 2.0}, {7, 3.0}})));
  EXPECT_EQ(builder.anchor(), 62);
  ASSERT_TRUE(builder.apply_block(blocks.absolute({{kMax - 3, 4.0}})));
  ASSERT_TRUE(builder.apply_block(blocks.relative({{0xFFFFFFFF, 5.0}})));
  EXPECT_EQ(builder.anchor(), kMax);

  const Channel channel = *std::move(builder).finalize();
  const auto& storage = std::get<TimestampedStorage>(channel.storage);
  EXPECT_EQ(
      std::vector<std::int64_t>(storage.timestamps.view().begin(), storage.timestamps.view().end()),
      (std::vector<std::int64_t>{1000, 50, 55, 62, kMax - 3, kMax}));
  const auto& values = std::get<CowArray<double>>(storage.values);
  EXPECT_EQ(std::vector<double>(values.view().begin(), values.view().end()),
            (std::vector<double>{0.5, 1.0, 2.0, 3.0, 4.0, 5.0}));
}

TEST(Values, BoolBytesAreNormalised) {
  ChannelBuilder builder(definition(DataTypeId::Bool));
  ASSERT_TRUE(builder.apply_block(StartData{{0, 1.0, {DataTypeId::Bool, nullptr, 0}}}));
  const Bytes wire{0x00, 0x02, 0x01, 0xFF};
  ASSERT_TRUE(builder.apply_block(ContinuedData{{DataTypeId::Bool, wire.vec().data(), 4}}));
  const Channel channel = *std::move(builder).finalize();
  const auto& values =
      std::get<CowArray<bool>>(std::get<EquidistantStorage>(channel.storage).values);
  ASSERT_EQ(values.size(), 4u);
  std::vector<std::uint8_t> stored(4);
  std::memcpy(stored.data(), values.data(), 4);
  EXPECT_EQ(stored, (std::vector<std::uint8_t>{0, 1, 1, 1}));
}

}  // namespace
}  // namespace qel
