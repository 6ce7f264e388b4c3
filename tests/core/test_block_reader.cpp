#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "container/reader.hpp"
#include "frame_builder.hpp"
#include "qel/log.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

using qel::test::Captured;
using qel::test::log_lines;
using qel::test::max_rss_kib;

using test::Bytes;
using test::ChannelDecl;
using test::FileBuilder;
using test::kAbsTimeStampData;
using test::kMulti;
using test::kStartData;

constexpr IntegrityProfile kNone = IntegrityProfile::none;
constexpr IntegrityProfile kCrc = IntegrityProfile::crc32c;
using Stats = ReaderStats;

const std::vector<ChannelDecl> kChannels = {
    {1, "speed", "double", 2},
    {2, "label", "string", 2},
    {3, "mystery", "complex128", 2},
    {4, "wide", "int32", 4},
};
const MetaBlock kMeta = test::meta_of(kChannels);

struct Outcome {
  std::vector<DecodedBlock> items;   // payload views are not kept valid
  std::optional<std::string> error;  // the last one
  ReaderStats stats;
};

// Every item up to the end; errors that do not finish the reader are passed.
Outcome read_all(std::span<const std::uint8_t> blocks, IntegrityProfile integrity = kNone) {
  BlockReader reader(BufferedInput(std::make_unique<MemoryInputStream>(blocks)), kMeta);
  reader.set_integrity(integrity);
  Outcome out;
  for (;;) {
    auto item = reader.next();
    if (!item) {
      out.error = item.error().message();
      continue;
    }
    if (!*item) break;
    out.items.push_back(**item);
  }
  EXPECT_FALSE(reader.next().value_or(std::nullopt)) << "a finished reader yields nothing more";
  out.stats = reader.stats();
  return out;
}

Bytes one_double(std::int64_t start, double value) {
  return Bytes().i64(start).f64(1000.0).f64(value);
}

// One frame of a `kChannels` file, with its CRC when `integrity` asks for it.
Bytes frame(std::uint16_t index, std::uint8_t control, Bytes body,
            IntegrityProfile integrity = kNone) {
  FileBuilder file(integrity);
  file.channels(kChannels).frame(index, control, body);
  return Bytes().raw(file.blocks());
}

struct SkipCase {
  const char* name;
  IntegrityProfile integrity;
  Bytes block;
  std::uint16_t channel;
  SkipReason reason;
  std::uint64_t Stats::*counter;
  std::uint32_t length;
  std::optional<std::uint8_t> kind;
};

class SkippedBlock : public ::testing::TestWithParam<SkipCase> {};

TEST_P(SkippedBlock, CountsItsReasonAndKeepsTheStreamInStep) {
  const SkipCase& c = GetParam();
  Captured captured;
  const Outcome out = read_all(
      Bytes(c.block).raw(frame(1, kStartData, one_double(0, 1.0), c.integrity)), c.integrity);
  ASSERT_FALSE(out.error) << *out.error;
  ASSERT_EQ(out.items.size(), 2u);
  EXPECT_EQ(out.items[0].channel_index, c.channel);
  const auto& skipped = std::get<Skipped>(out.items[0].kind);
  EXPECT_EQ(skipped.reason, c.reason);
  EXPECT_EQ(skipped.length, c.length);
  EXPECT_EQ(skipped.kind, c.kind);
  EXPECT_TRUE(std::holds_alternative<StartData>(out.items[1].kind));
  EXPECT_EQ(log_lines(captured).size(), c.reason == SkipReason::ZeroLength ? 1u : 0u);
  EXPECT_EQ(out.stats.*c.counter, 1u);
  EXPECT_EQ(out.stats.blocks_read, 1u);
  EXPECT_EQ(out.stats.blocks_total, 2u);
  EXPECT_EQ(out.stats.channels.at(c.channel).blocks_skipped, 1u);
  EXPECT_EQ(out.stats.channels.at(c.channel).bytes,
            c.length + (c.channel == 1 ? 25u + (c.integrity == kNone ? 0 : 4) : 0u));
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, SkippedBlock,
    ::testing::Values(
        SkipCase{"Deprecated", kNone, frame(1, 0x01, Bytes{1, 2}), 1, SkipReason::DeprecatedType,
                 &Stats::blocks_skipped_deprecated_type, 3, 1},
        SkipCase{"StatusEvent", kNone, frame(1, 0x83, {}), 1, SkipReason::StatusEvent,
                 &Stats::blocks_skipped_status_event, 1, 3},
        SkipCase{"MessageEventOnNumeric", kNone, frame(1, 0x04, Bytes().i64(0).u32(0)), 1,
                 SkipReason::ReservedType, &Stats::blocks_skipped_reserved_type, 13, 4},
        SkipCase{"UnsupportedDataType", kNone, frame(3, kStartData, Bytes().zeros(30)), 3,
                 SkipReason::UnsupportedDataType, &Stats::blocks_skipped_unsupported, 31,
                 std::nullopt},
        SkipCase{"ZeroLength", kNone, Bytes().u16(1).u16(0), 1, SkipReason::ZeroLength,
                 &Stats::blocks_skipped_zero_length, 0, std::nullopt},
        // Only a CRC, and a right one: there is no control byte.
        SkipCase{"CrcTooShort", kCrc, Bytes().u16(1).u16(4).u32(crc32c(Bytes().u16(1).u16(4))), 1,
                 SkipReason::CrcFailed, &Stats::blocks_crc_failed, 4, std::nullopt},
        SkipCase{"Signature", IntegrityProfile::ed25519, Bytes().u16(0xFFFE).u32(64).zeros(64),
                 0xFFFE, SkipReason::SignatureBlock, &Stats::blocks_signature_skipped, 64,
                 std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

struct CutCase {
  const char* name;
  IntegrityProfile integrity;
  Bytes tail;        // what follows one complete block
  std::size_t keep;  // bytes of `tail` left in the file
  std::uint64_t truncated;
  std::optional<std::string> error;
  bool trailer_seen;
};

class Truncation : public ::testing::TestWithParam<CutCase> {};

TEST_P(Truncation, EndsAfterTheLastCompleteBlock) {
  const CutCase& c = GetParam();
  auto bytes = frame(1, kStartData, one_double(5, 2.0), c.integrity).vec();
  bytes.insert(bytes.end(), c.tail.vec().begin(), c.tail.vec().begin() + c.keep);
  const Outcome out = read_all(bytes, c.integrity);
  EXPECT_EQ(out.error, c.error);
  ASSERT_EQ(out.items.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<StartData>(out.items[0].kind));
  EXPECT_EQ(out.stats.blocks_truncated, c.truncated);
  EXPECT_EQ(out.stats.trailer_seen, c.trailer_seen);
}

const Bytes kDoubleBlock = frame(1, kStartData, one_double(0, 1.0));
const Bytes kSignature = Bytes().u16(0xFFFE).u32(8).zeros(8);
const Bytes kTrailer = Bytes().u16(0xFFFF).u32(3).zeros(3).text("QEL_STREAM_END").zeros(26);

INSTANTIATE_TEST_SUITE_P(
    Places, Truncation,
    ::testing::Values(CutCase{"StrayByte", kNone, kDoubleBlock, 1, 0, {}, false},
                      CutCase{"InLengthField", kNone, kDoubleBlock, 3, 1, {}, false},
                      CutCase{"InPayload", kNone, kDoubleBlock, 20, 1, {}, false},
                      CutCase{"InUnsupportedPayload", kNone, Bytes().u16(3).u16(10).zeros(10), 8, 1,
                              "I/O error: stream truncated mid-skip-payload", false},
                      CutCase{"InTrailerBody", kNone, kTrailer, 7, 1, {}, true},
                      CutCase{"InTrailerTail", kNone, kTrailer, 30, 0, {}, true},
                      CutCase{"InSignatureData", kCrc, kSignature, 10, 1, {}, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(UntrustedLength, HugeLengthOnAShortFileAllocatesOnlyWhatArrives) {
  const long before = max_rss_kib();
  const Outcome out = read_all(Bytes().u16(4).u32(0xFFFFFFF0).u8(kStartData).zeros(100));
  EXPECT_FALSE(out.error);
  EXPECT_EQ(out.stats.blocks_truncated, 1u);
  EXPECT_LT(max_rss_kib() - before, 64 * 1024) << "the announced length was allocated";
}

TEST(Trailer, EndsTheBlockAreaEvenWithAWrongTail) {
  Captured captured;
  // A frame of an unknown channel after the trailer is not read.
  const Outcome out = read_all(
      Bytes().u16(0xFFFF).u32(5).zeros(5).text("NOT_THE_END\xFF").zeros(28).u16(999).u16(1).u8(0));
  EXPECT_FALSE(out.error);
  EXPECT_TRUE(out.items.empty() && out.stats.trailer_seen);
  EXPECT_EQ(out.stats.data_section_size_bytes, 2u + 4 + 5 + 40);
  EXPECT_EQ(
      log_lines(captured),
      std::vector<std::string>{"D reader: QEL trailer: 40-byte tail did not start with "
                               "\"QEL_STREAM_END\"; got \"NOT_THE_END\xEF\xBF\xBD\\u{0}\\u{0}\""});
}

// An unknown channel finishes the reader; a decoder error only fails its block.
TEST(ReaderFailure, IsYieldedWithItsMessage) {
  const std::tuple<Bytes, std::string, std::size_t> cases[] = {
      {Bytes().u16(0).u16(1).u8(kStartData), "block references unknown channel index 0", 0},
      {frame(2, kStartData, Bytes().zeros(20)),
       "invalid QEL block payload: equidistant blocks (bcStartData / bcContinuedData) only "
       "support numeric datatypes; got String",
       1}};
  for (const auto& [blocks, message, after] : cases) {
    const Outcome out = read_all(Bytes(blocks).raw(kDoubleBlock));
    EXPECT_EQ(out.error, message);
    EXPECT_EQ(out.items.size(), after);
    EXPECT_EQ(out.stats.blocks_read, after);
  }
}

TEST(ReaderStatistics, CountsDecodedBlocksPerChannel) {
  FileBuilder file;
  file.channels(kChannels)
      .frame(1, kStartData | kMulti, Bytes().i64(100).f64(1000.0).u32(3).zeros(24))
      .frame(1, test::kContinuedData | kMulti, Bytes().u32(2).zeros(16))
      .frame(1, kStartData | kMulti, Bytes().i64(-50).f64(0.0).u32(2).zeros(16))
      .frame(2, kAbsTimeStampData | kMulti,
             Bytes().u32(3).i64(30).u8('a').i64(10).u8('b').i64(20).u8('c'));
  const Outcome out = read_all(file.blocks());
  ASSERT_FALSE(out.error) << *out.error;
  const ChannelStats& speed = out.stats.channels.at(1);
  EXPECT_EQ(std::tuple(speed.blocks_read, speed.samples, speed.segments, speed.bytes),
            std::tuple(3u, 7u, 2u, 45u + 21 + 37));
  // Start segments and the first and last record of a block widen the range.
  using Range = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(speed.timestamp_range, (Range{-50, 2'000'100}));
  EXPECT_EQ(out.stats.channels.at(2).timestamp_range, (Range{20, 30}));
  EXPECT_EQ(out.stats.channels_with_data, 2u);
}

// Hands out at most `chunk` bytes per read, so fields and payloads are cut at
// every place a file read can end.
struct TrickleStream final : InputStream {
  TrickleStream(std::span<const std::uint8_t> bytes, std::size_t n) : inner(bytes), chunk(n) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    return inner.read(out.first(std::min(out.size(), chunk)));
  }
  MemoryInputStream inner;
  std::size_t chunk;
};

class ReadBoundaries : public ::testing::TestWithParam<std::pair<std::size_t, IntegrityProfile>> {};

// Payload sizes around the lookahead window, read through streams that end
// reads anywhere; with CRCs, a payload that kept its CRC would show in the text.
TEST_P(ReadBoundaries, StringsOfEverySizeArriveWholeAndInOrder) {
  const auto [chunk, integrity] = GetParam();
  FileBuilder file(integrity);
  file.channels(kChannels);
  std::vector<std::string> texts;
  for (const std::size_t n : {1u, 8000u, 8174u, 8175u, 8178u, 8179u, 8180u, 9000u, 30000u, 3u}) {
    texts.emplace_back(n, static_cast<char>('a' + texts.size()));
    file.frame(2, kAbsTimeStampData | kMulti, Bytes().u32(1).i64(7).text(texts.back()));
  }
  auto bytes = file.blocks();
  bytes.push_back(0x02);  // a stray byte ends the stream mid index
  BlockReader reader(BufferedInput(std::make_unique<TrickleStream>(bytes, chunk)), kMeta);
  reader.set_integrity(integrity);
  for (const std::string& text : texts) {
    auto item = reader.next();
    ASSERT_TRUE(item && *item) << text.size();
    const auto& records =
        std::get<VariableRecords>(std::get<AbsTimestamped>((*item)->kind).payload);
    ASSERT_EQ(records.count, 1u);
    const auto value = records.value(0);
    EXPECT_EQ(std::string(value.begin(), value.end()), text);
  }
  EXPECT_FALSE(reader.next().value());
  EXPECT_EQ(reader.stats().blocks_read, texts.size());
  EXPECT_EQ(reader.stats().blocks_crc_failed, 0u);
}

INSTANTIATE_TEST_SUITE_P(Chunks, ReadBoundaries,
                         ::testing::Values(std::pair{std::size_t{1}, kNone},
                                           std::pair{std::size_t{7}, kCrc},
                                           std::pair{std::size_t{8192}, kNone},
                                           std::pair{std::size_t{1} << 20, kCrc}));

}  // namespace
}  // namespace qel
