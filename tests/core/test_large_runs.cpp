// Equidistant runs large enough to be read straight into their channel's
// array must load exactly like small ones, and undo themselves cleanly when
// their frame turns out truncated or corrupt.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "qel/manager.hpp"

namespace qel {
namespace {

using test::Bytes;
using test::FileBuilder;
using test::kAbsTimeStampData;
using test::kContinuedData;
using test::kMulti;
using test::kStartData;

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

// The body of a start run (with `start`) or a continuation.
Bytes run(std::optional<std::int64_t> start, const std::vector<double>& values) {
  Bytes out;
  if (start) out.i64(*start).f64(100.0);
  out.u32(static_cast<std::uint32_t>(values.size()));
  for (const double v : values) out.f64(v);
  return out;
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

std::vector<double> joined(std::initializer_list<std::vector<double>> pieces) {
  std::vector<double> out;
  for (const auto& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

class LargeRuns : public ::testing::TestWithParam<IntegrityProfile> {};

TEST_P(LargeRuns, LoadLikeSmallRuns) {
  const auto first = ramp(kLarge, 0.0);
  const auto more = ramp(kLarge / 2, 1e6);
  const auto small = ramp(3, -5.0);
  const auto second = ramp(kLarge, 2e6);
  FileBuilder file = double_file(GetParam());
  // Bytes after the values of a run are allowed.
  file.frame(0, kStartData | kMulti, run(1000, first).zeros(70000))
      .frame(0, kContinuedData | kMulti, run(std::nullopt, more))
      .frame(0, kContinuedData | kMulti, run(std::nullopt, small))
      .frame(0, kStartData | kMulti, run(5000, second));
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(values_of(*manager), joined({first, more, small, second}));
  const auto& segments = equidistant(*manager).segments;
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].offset, first.size() + more.size() + small.size());
  EXPECT_EQ(segments[1].sample_count, second.size());
  EXPECT_EQ(manager->stats().channels.at(0).samples, values_of(*manager).size());
  EXPECT_EQ(manager->stats().data_section_size_bytes, file.blocks().size());
}

// A large run, a start or a continuation, that is cut short or (with CRCs)
// corrupt leaves what came before it.
TEST_P(LargeRuns, CutShortOrCorruptKeepsTheEarlierBlocksOnly) {
  const auto small = ramp(2, 0.0);
  const std::size_t crc = GetParam() == IntegrityProfile::none ? 0 : 4;
  for (const bool starts : {true, false}) {
    FileBuilder file = double_file(GetParam());
    const Bytes large =
        run(starts ? std::optional<std::int64_t>(9) : std::nullopt, ramp(kLarge, 9.0));
    file.frame(0, kStartData | kMulti, run(0, small))
        .frame(0, (starts ? kStartData : kContinuedData) | kMulti, large);
    const auto whole = file.file();
    const std::size_t body = whole.size() - large.size() - crc;
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
  file.frame(0, kStartData | kMulti, run(0, ramp(kLarge, 0.0)));
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
  Bytes one_short = run(0, values);
  ++one_short.vec()[16];  // the count
  std::vector<FileBuilder> files(3, double_file());
  files[0].frame(0, kStartData | kMulti, one_short);
  files[1].frame(0, kContinuedData | kMulti, run(std::nullopt, values));
  files[2]
      .frame(0, kAbsTimeStampData | kMulti, Bytes().u32(1).i64(7).f64(2.5))
      .frame(0, kStartData | kMulti, run(0, values));
  const std::string messages[] = {
      "invalid QEL block payload: numeric run: failed to fill whole buffer",
      "channel 0 produced bcContinuedData without a preceding bcStartData",
      "channel 0 mixes equidistant and timestamped blocks"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(load(files[i].file()).error().message(), messages[i]);
  }
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
  ASSERT_EQ(stored_flags.size() + stored_counts.size(), 2 * kLarge);
  for (std::size_t i = 0; i < kLarge; ++i) {
    ASSERT_TRUE(stored_flags[i] == (i % 3 != 0) && stored_counts[i] == std::int32_t(i) - 7) << i;
  }
}

}  // namespace
}  // namespace qel
