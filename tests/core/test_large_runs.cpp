// Equidistant runs large enough to be read straight into their channel's
// array must load exactly like small ones, and undo themselves cleanly when
// their frame turns out truncated or corrupt.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "frame_builder.hpp"
#include "qel/manager.hpp"

namespace qel {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::kAbsTimeStampData;
using testing::kContinuedData;
using testing::kMulti;
using testing::kStartData;

// Well past the size from which runs are read in place, and not a multiple
// of the reader's pieces.
constexpr std::size_t kLarge = 70001;

Result<DataManager> load(std::span<const std::uint8_t> file) {
  return DataManager::load_from_stream(std::make_unique<MemoryInputStream>(file), std::nullopt);
}

std::vector<double> ramp(std::size_t count, double from) {
  std::vector<double> values(count);
  std::iota(values.begin(), values.end(), from);
  return values;
}

Bytes doubles(const std::vector<double>& values) {
  Bytes bytes;
  for (const double v : values) bytes.f64(v);
  return bytes;
}

Bytes start_run(std::int64_t start, const std::vector<double>& values) {
  return Bytes()
      .i64(start)
      .f64(100.0)
      .u32(static_cast<std::uint32_t>(values.size()))
      .raw(doubles(values));
}

Bytes continued_run(const std::vector<double>& values) {
  return Bytes().u32(static_cast<std::uint32_t>(values.size())).raw(doubles(values));
}

FileBuilder double_file(IntegrityProfile integrity = IntegrityProfile::none) {
  FileBuilder file(integrity);
  file.channels({{0, "signal", "double", 4}});
  return file;
}

const EquidistantStorage& equidistant(const DataManager& manager) {
  return std::get<EquidistantStorage>(manager.channel("signal")->storage);
}

std::vector<double> values_of(const DataManager& manager) {
  const auto view = std::get<CowArray<double>>(equidistant(manager).values).view();
  return {view.begin(), view.end()};
}

std::vector<double> joined(std::initializer_list<std::vector<double>> parts) {
  std::vector<double> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

class LargeRuns : public ::testing::TestWithParam<IntegrityProfile> {};

TEST_P(LargeRuns, LoadLikeSmallRunsWithSegmentsAndStatistics) {
  const auto first = ramp(kLarge, 0.0);
  const auto more = ramp(kLarge / 2, 1e6);
  const auto small = ramp(3, -5.0);
  const auto second = ramp(kLarge, 2e6);
  FileBuilder file = double_file(GetParam());
  // Bytes after the values of a run are allowed.
  file.frame(0, kStartData | kMulti, start_run(1000, first).zeros(70000))
      .frame(0, kContinuedData | kMulti, continued_run(more))
      .frame(0, kContinuedData | kMulti, continued_run(small))
      .frame(0, kStartData | kMulti, start_run(5000, second));
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(values_of(*manager), joined({first, more, small, second}));
  const auto& segments = equidistant(*manager).segments;
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0].start_timestamp_ns, 1000);
  EXPECT_EQ(segments[0].sample_count, first.size() + more.size() + small.size());
  EXPECT_EQ(segments[1].offset, segments[0].sample_count);
  EXPECT_EQ(segments[1].sample_count, second.size());
  const ReaderStats stats = manager->stats();
  EXPECT_EQ(stats.blocks_read, 4u);
  EXPECT_EQ(stats.channels.at(0).samples, values_of(*manager).size());
  EXPECT_EQ(stats.data_section_size_bytes, file.blocks().size());
  EXPECT_EQ(stats.blocks_crc_failed, 0u);
}

// A large run, a start or a continuation, that is cut short or (with CRCs)
// corrupt leaves what came before it.
TEST_P(LargeRuns, CutShortOrCorruptKeepsTheEarlierBlocksOnly) {
  const auto small = ramp(2, 0.0);
  const std::size_t crc = GetParam() == IntegrityProfile::none ? 0 : 4;
  for (const bool starts : {true, false}) {
    FileBuilder file = double_file(GetParam());
    const Bytes run = starts ? start_run(9, ramp(kLarge, 9.0)) : continued_run(ramp(kLarge, 9.0));
    file.frame(0, kStartData | kMulti, start_run(0, small))
        .frame(0, (starts ? kStartData : kContinuedData) | kMulti, run);
    const auto whole = file.file();
    const std::size_t body = whole.size() - run.size() - crc;
    auto corrupt = whole;
    corrupt[body + 1000] ^= 0x01;
    // Cut in either read of the run's head, in its values, and in its last
    // byte (of the values or the CRC).
    std::vector<std::span<const std::uint8_t>> files;
    for (const std::size_t cut :
         {body + (starts ? 10 : 3), body + 20 + 8 * 40000, whole.size() - 1}) {
      files.push_back(std::span(whole).first(cut));
    }
    if (crc != 0) files.push_back(corrupt);
    for (const auto bytes : files) {
      const auto manager = load(bytes);
      ASSERT_TRUE(manager) << manager.error().message();
      const bool cut = bytes.size() < whole.size();
      EXPECT_EQ(manager->stats().blocks_truncated, cut ? 1u : 0u) << bytes.size();
      EXPECT_EQ(manager->stats().blocks_crc_failed, cut ? 0u : 1u) << bytes.size();
      EXPECT_EQ(values_of(*manager), small) << bytes.size();
      EXPECT_EQ(equidistant(*manager).segments.size(), 1u) << bytes.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Integrity, LargeRuns,
                         ::testing::Values(IntegrityProfile::none, IntegrityProfile::crc32c));

TEST(LargeRuns, CorruptRunIsDroppedAndItsChannelStaysUndecided) {
  FileBuilder file = double_file(IntegrityProfile::crc32c);
  file.frame(0, kStartData | kMulti, start_run(0, ramp(kLarge, 0.0)));
  const std::size_t corrupt = file.file().size() - 100;
  // A large frame that is no run goes through the payload buffer.
  Bytes records = Bytes().u32(2000);
  for (int t = 0; t < 2000; ++t) records.i64(t * 7).f64(0.5 * t);
  file.frame(0, kAbsTimeStampData | kMulti, records);
  auto bytes = file.file();
  bytes[corrupt] ^= 0x01;
  const auto manager = load(bytes);
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(manager->stats().blocks_crc_failed, 1u);
  EXPECT_EQ(manager->stats().blocks_read, 1u);
  // The dropped run decided nothing: the channel takes timestamped samples.
  const auto& stored = std::get<TimestampedStorage>(manager->channel("signal")->storage);
  ASSERT_EQ(stored.timestamps.size(), 2000u);
  EXPECT_EQ(stored.timestamps[1999], 1999 * 7);
  EXPECT_EQ(std::get<CowArray<double>>(stored.values)[1999], 999.5);
}

// Runs the channel cannot take in place go through the payload buffer and
// fail as small ones do.
TEST(LargeRuns, ErrorsAreThoseOfSmallRuns) {
  const auto values = ramp(kLarge, 0.0);
  FileBuilder overlong = double_file();
  overlong.frame(0, kStartData | kMulti,
                 Bytes().i64(0).f64(1.0).u32(kLarge + 1).raw(doubles(values)));
  EXPECT_EQ(load(overlong.file()).error().message(),
            "invalid QEL block payload: numeric run: failed to fill whole buffer");

  FileBuilder unstarted = double_file();
  unstarted.frame(0, kContinuedData | kMulti, continued_run(values));
  EXPECT_EQ(load(unstarted.file()).error().kind(), ErrorKind::ContinuedWithoutStart);

  FileBuilder mixed = double_file();
  mixed.frame(0, kAbsTimeStampData | kMulti, Bytes().u32(1).i64(7).f64(2.5))
      .frame(0, kStartData | kMulti, start_run(0, values));
  EXPECT_EQ(load(mixed.file()).error().kind(), ErrorKind::MixedStorage);
}

TEST(LargeRuns, OtherTypesKeepTheirValues) {
  FileBuilder file;
  file.channels({{0, "flags", "bool", 4}, {1, "counts", "int32", 4}});
  Bytes flags = Bytes().i64(0).f64(1.0).u32(kLarge);
  Bytes counts = Bytes().i64(0).f64(1.0).u32(kLarge);
  for (std::size_t i = 0; i < kLarge; ++i) {
    flags.u8(static_cast<std::uint8_t>(i % 3));
    counts.le(static_cast<std::int32_t>(i) - 7);
  }
  file.frame(0, kStartData | kMulti, flags).frame(1, kStartData | kMulti, counts);
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  const auto& stored_flags = std::get<CowArray<bool>>(
      std::get<EquidistantStorage>(manager->channel("flags")->storage).values);
  const auto& stored_counts = std::get<CowArray<std::int32_t>>(
      std::get<EquidistantStorage>(manager->channel("counts")->storage).values);
  ASSERT_EQ(stored_flags.size(), kLarge);
  ASSERT_EQ(stored_counts.size(), kLarge);
  for (std::size_t i = 0; i < kLarge; ++i) {
    ASSERT_EQ(stored_flags[i], i % 3 != 0) << i;
    ASSERT_EQ(stored_counts[i], static_cast<std::int32_t>(i) - 7) << i;
  }
}

TEST(LargeRuns, CompressedFileLoadsLikeThePlainOneAndCutShortEndsAsTruncation) {
  const auto first = ramp(kLarge, 0.5);
  FileBuilder file = double_file(IntegrityProfile::crc32c);
  file.frame(0, kStartData | kMulti, start_run(0, first))
      .frame(0, kContinuedData | kMulti, continued_run(first));
  auto compressed = testing::compress(file.file(), testing::Wrapper::gzip);
  const auto manager = load(compressed);
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(values_of(*manager), joined({first, first}));

  compressed.resize(compressed.size() * 3 / 4);
  const auto cut = load(compressed);
  ASSERT_TRUE(cut) << cut.error().message();
  EXPECT_EQ(cut->stats().blocks_truncated, 1u);
  EXPECT_EQ(values_of(*cut), first);
}

}  // namespace
}  // namespace qel
