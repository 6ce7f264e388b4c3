#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "qel/log.hpp"
#include "qel/manager.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

using qel::test::max_rss_kib;

using testing::Bytes;
using testing::ChannelDecl;
using testing::FileBuilder;
using testing::kAbsTimeStampData;
using testing::kContinuedData;
using testing::kMulti;
using testing::kStartData;

Result<DataManager> load(std::span<const std::uint8_t> file,
                         std::optional<std::uint64_t> size = std::nullopt) {
  return DataManager::load_from_stream(std::make_unique<MemoryInputStream>(file), size);
}

std::string load_error(std::span<const std::uint8_t> file) {
  auto manager = load(file);
  return manager ? "loaded" : manager.error().message();
}

std::vector<std::uint8_t> text_file(std::string_view text) {
  return Bytes().text(text).vec();
}

template <class T>
std::vector<T> values_of(const NumericValues& values) {
  const auto& array = std::get<CowArray<T>>(values);
  return {array.view().begin(), array.view().end()};
}

const std::vector<ChannelDecl> kMixedChannels = {
    {1, "speed", "double", 2},
    {2, "position", "gpslocation", 4},
    {3, "note", "string", 2},
    {4, "flags", "uint8", 2},
};

// A file with every storage kind.
FileBuilder mixed_file(IntegrityProfile integrity = IntegrityProfile::none) {
  FileBuilder file(integrity);
  file.channels(kMixedChannels)
      .frame(1, kStartData | kMulti, Bytes().i64(1000).f64(10.0).u32(2).f64(0.5).f64(1.5))
      .frame(2, kAbsTimeStampData | kMulti,
             Bytes().u32(2).i64(7).f64(48.1).f64(11.5).f64(520.0).i64(9).f64(48.2).f64(11.6).f64(
                 521.0))
      .frame(1, kContinuedData | kMulti, Bytes().u32(1).f64(2.5))
      .frame(3, kAbsTimeStampData | kMulti, Bytes().u32(2).i64(3).text("ab").i64(4).text("cd"))
      .frame(3, testing::kMessageEvent, Bytes().i64(5).u32(5).text("event"))
      .frame(4, kAbsTimeStampData, Bytes().i64(-1).u8(200));
  return file;
}

void expect_mixed_channels(const DataManager& manager) {
  ASSERT_EQ(manager.channels().size(), 4u);
  const Channel& speed = *manager.channel("speed");
  EXPECT_EQ(speed.storage_kind(), "equidistant");
  const auto& equidistant = std::get<EquidistantStorage>(speed.storage);
  EXPECT_EQ(values_of<double>(equidistant.values), (std::vector<double>{0.5, 1.5, 2.5}));
  ASSERT_EQ(equidistant.segments.size(), 1u);
  EXPECT_EQ(equidistant.segments[0].start_timestamp_ns, 1000);
  EXPECT_EQ(equidistant.segments[0].sample_count, 3u);

  const Channel& position = *manager.channel_by_index(2);
  const auto& gps = std::get<TimestampedStorage>(position.storage);
  ASSERT_EQ(gps.timestamps.size(), 2u);
  EXPECT_EQ(gps.timestamps[1], 9);
  const auto& points = std::get<CowArray<GpsPoint>>(gps.values);
  EXPECT_EQ(points[1].latitude, 48.2);
  EXPECT_EQ(points[1].altitude, 521.0);

  const ByteStringList& notes = **manager.channel("note")->as_strings();
  ASSERT_EQ(notes.size(), 3u);
  EXPECT_EQ(notes.text(0), "ab");
  EXPECT_EQ(notes.text(2), "event");

  const auto& flags = std::get<TimestampedStorage>(manager.channel("flags")->storage);
  EXPECT_EQ(values_of<std::uint8_t>(flags.values), std::vector<std::uint8_t>{200});
  EXPECT_EQ(flags.timestamps[0], -1);
}

TEST(Load, EveryStorageKind) {
  const auto file = mixed_file().file();
  const auto manager = load(file, 12345);
  ASSERT_TRUE(manager) << manager.error().message();
  expect_mixed_channels(*manager);
  const ReaderStats& stats = manager->stats();
  EXPECT_EQ(stats.blocks_read, 6u);
  EXPECT_EQ(stats.file_size_bytes, 12345u);
  EXPECT_EQ(stats.header_size_bytes, 0u);
  EXPECT_EQ(stats.metablock_size_bytes, testing::metablock_json(kMixedChannels).size());
  EXPECT_FALSE(stats.compressed);
  EXPECT_EQ(stats.integrity, IntegrityProfile::none);
}

struct CompressedCase {
  const char* name;
  testing::Wrapper wrapper;
  int level;
  CompressionFormat format;
};

class CompressedFile : public ::testing::TestWithParam<CompressedCase> {};

TEST_P(CompressedFile, LoadsLikeThePlainFile) {
  const CompressedCase& c = GetParam();
  const auto file = testing::compress(mixed_file().file(), c.wrapper, c.level);
  const auto manager = load(file);
  ASSERT_TRUE(manager) << manager.error().message();
  expect_mixed_channels(*manager);
  EXPECT_TRUE(manager->stats().compressed);
  EXPECT_EQ(manager->stats().compression_format, c.format);
  EXPECT_NE(to_string(manager->stats())
                .find("Compressed:            yes (" + std::string(to_string(c.format)) + ")\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, CompressedFile,
    ::testing::Values(
        CompressedCase{"Gzip", testing::Wrapper::gzip, 6, CompressionFormat::gzip},
        CompressedCase{"Zlib789C", testing::Wrapper::zlib, 6, CompressionFormat::zlib},
        CompressedCase{"Zlib785E", testing::Wrapper::zlib, 2, CompressionFormat::zlib},
        CompressedCase{"Zlib78DA", testing::Wrapper::zlib, 9, CompressionFormat::zlib},
        CompressedCase{"Zlib7801", testing::Wrapper::zlib, 0, CompressionFormat::zlib}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Load, CompressedFileCutShortEndsAsTruncation) {
  FileBuilder file;
  file.channels({{1, "speed", "double", 4}});
  Bytes values;
  for (int i = 0; i < 4096; ++i) values.f64(i * 0.25);
  file.frame(1, kStartData | kMulti, Bytes().i64(0).f64(1.0).u32(4096).raw(values));
  auto compressed = testing::compress(file.file(), testing::Wrapper::gzip);
  compressed.resize(compressed.size() * 3 / 4);
  const auto manager = load(compressed);
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(manager->stats().blocks_truncated, 1u);
  EXPECT_TRUE(manager->channel("speed")->is_empty());
}

TEST(Load, DeclaredChannelsWithoutBlocks) {
  FileBuilder file;
  file.channels(
      {{1, "a", "int16"}, {2, "b", "string"}, {3, "c", "complex128"}, {4, "d", "gpslocation"}});
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  ASSERT_EQ(manager->channels().size(), 3u);
  EXPECT_EQ(manager->channels()[0].storage_kind(), "equidistant");
  EXPECT_TRUE(manager->channels()[0].is_empty());
  EXPECT_EQ(manager->channels()[1].storage_kind(), "variable");
  EXPECT_EQ(manager->channels()[2].name, "d");
  EXPECT_EQ(manager->channel("c"), nullptr);
  EXPECT_EQ(manager->channel_by_index(3), nullptr);
  EXPECT_EQ(manager->stats().channels_total, 4u);
  EXPECT_EQ(manager->stats().channels_unsupported, 1u);
  EXPECT_EQ(manager->stats().blocks_truncated, 0u);
}

TEST(Load, DuplicateNamesKeepBothAndWarnOnce) {
  log::CapturingSink sink;
  log::ScopedSink scope(sink);
  FileBuilder file;
  file.channels({{1, "x", "int8"}, {2, "x", "int8"}})
      .frame(2, kContinuedData | kMulti, Bytes().u32(0))
      .frame(2, kStartData, Bytes().i64(0).f64(1.0).u8(9));
  const auto manager = load(file.file());
  ASSERT_FALSE(manager) << "a continued block before any start fails";
  EXPECT_EQ(manager.error().message(),
            "channel 2 produced bcContinuedData without a preceding bcStartData");

  FileBuilder good;
  good.channels({{1, "x", "int8"}, {2, "x", "int8"}})
      .frame(2, kStartData, Bytes().i64(0).f64(1.0).u8(9));
  const auto loaded = load(good.file());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->channels().size(), 2u);
  EXPECT_EQ(loaded->channel("x")->index, 1);
  EXPECT_EQ(loaded->channel_by_index(2)->sample_count(), 1u);
  std::vector<std::string> warnings;
  for (const auto& record : sink.records) {
    if (record.target == log::kManager) warnings.push_back(record.message);
  }
  EXPECT_EQ(warnings, std::vector<std::string>{
                          "duplicate channel name \"x\" at indices \u2014 first definition kept"});
}

TEST(Load, DuplicateIndexKeepsTheLaterDefinitionAtTheFirstPosition) {
  FileBuilder file;
  file.channels({{5, "old", "int8"}, {6, "other", "int8"}, {5, "new", "double"}})
      .frame(5, kStartData, Bytes().i64(0).f64(1.0).f64(3.5));
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  ASSERT_EQ(manager->channels().size(), 2u);
  EXPECT_EQ(manager->channels()[0].name, "new");
  EXPECT_EQ(manager->channels()[1].name, "other");
  EXPECT_EQ(manager->channel("old"), nullptr);
}

TEST(Load, SignatureBlocksOfAnEd25519File) {
  FileBuilder file(IntegrityProfile::ed25519);
  file.channels({{1, "a", "double"}}).signature(Bytes().zeros(64)).signature(Bytes{1, 2});
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  const ReaderStats& stats = manager->stats();
  EXPECT_EQ(stats.blocks_signature_skipped, 2u);
  EXPECT_EQ(stats.blocks_total, 2u);
  EXPECT_EQ(stats.channels_with_data, 1u);
  EXPECT_EQ(stats.channels.at(0xFFFE).name, "");
  EXPECT_EQ(verification_status(stats.integrity, stats.blocks_crc_failed),
            "signature_unverifiable");
  EXPECT_NE(to_string(stats).find("Signature blocks:      2 (skipped, unverified)\n"),
            std::string::npos);
}

TEST(Load, CorruptFrameIsDroppedAndCounted) {
  auto file = mixed_file(IntegrityProfile::crc32c).file();
  const auto intact = load(file);
  ASSERT_TRUE(intact) << intact.error().message();
  EXPECT_EQ(verification_status(intact->stats().integrity, intact->stats().blocks_crc_failed),
            "crc_valid");
  file[file.size() - 6] ^= 0x40;  // the value byte of the last block
  const auto manager = load(file);
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(manager->stats().blocks_crc_failed, 1u);
  EXPECT_TRUE(manager->channel("flags")->is_empty());
  EXPECT_EQ(verification_status(manager->stats().integrity, manager->stats().blocks_crc_failed),
            "invalid");
}

struct FailureCase {
  const char* name;
  std::vector<std::uint8_t> file;
  std::string message;
};

class LoadFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(LoadFailure, EndsTheLoadWithTheError) {
  EXPECT_EQ(load_error(GetParam().file), GetParam().message);
}

std::vector<std::uint8_t> with_metablock_crc(std::string crc) {
  const std::string meta = testing::metablock_json({{1, "a", "double"}});
  return text_file("QEL5 " + std::to_string(meta.size()) + " crc32c:" + crc + "\n" + meta);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LoadFailure,
    ::testing::Values(
        FailureCase{
            "EmptyFile", {}, "invalid QEL magic header: unexpected end of input before newline"},
        FailureCase{
            "OneByte", {'Q'}, "invalid QEL magic header: unexpected end of input before newline"},
        FailureCase{"NotZlib", text_file("xy"),
                    "invalid QEL magic header: unexpected end of input before newline"},
        FailureCase{"MetablockShort", text_file("QEL5 100\n{}"),
                    "I/O error: failed to fill whole buffer"},
        FailureCase{"MetablockTooLong", text_file("QEL5 1073741825\n{}"),
                    "invalid QEL metablock: metablock length 1073741825 exceeds the supported "
                    "maximum of 1073741824 bytes"},
        FailureCase{"MetablockCrc", with_metablock_crc("00000001"),
                    "metablock CRC mismatch: header token 0x00000001, computed 0x" +
                        hex8(crc32c(Bytes().text(testing::metablock_json({{1, "a", "double"}}))))},
        FailureCase{"StringGetsStartData",
                    FileBuilder()
                        .channels({{1, "s", "string"}})
                        .frame(1, kStartData, Bytes().zeros(20))
                        .file(),
                    "invalid QEL block payload: equidistant blocks (bcStartData / bcContinuedData) "
                    "only support numeric datatypes; got String"},
        FailureCase{"MixedStorage",
                    FileBuilder()
                        .channels({{1, "a", "double"}})
                        .frame(1, kAbsTimeStampData, Bytes().i64(0).f64(1))
                        .frame(1, kStartData, Bytes().i64(0).f64(1).f64(1))
                        .file(),
                    "channel 1 mixes equidistant and timestamped blocks"},
        FailureCase{
            "UnknownIndex",
            FileBuilder().channels({{1, "a", "double"}}).raw(Bytes().u16(2).u16(1).u8(6)).file(),
            "block references unknown channel index 2"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Load, LargeAnnouncedMetablockOnAShortFileAllocatesOnlyWhatArrives) {
  const long before = max_rss_kib();
  EXPECT_EQ(load_error(text_file("QEL5 1073741824\n{\"qel\":{}}")),
            "I/O error: failed to fill whole buffer");
  EXPECT_LT(max_rss_kib() - before, 64 * 1024);
}

TEST(Load, FromFileReportsItsSize) {
  const std::string path = ::testing::TempDir() + "qel_manager_test.qel";
  const auto bytes = mixed_file().file();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  const auto manager = DataManager::load_from_file(path);
  std::remove(path.c_str());
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(manager->stats().file_size_bytes, bytes.size());
  expect_mixed_channels(*manager);

  const auto missing = DataManager::load_from_file(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "I/O error: No such file or directory (os error 2)");
}

TEST(Load, PlainStatisticsRender18Lines) {
  const auto file = mixed_file().file();
  const auto manager = load(file);
  ASSERT_TRUE(manager);
  ReaderStats stats = manager->stats();
  stats.elapsed = std::chrono::milliseconds(400);
  const std::string data = fmt_bytes(file.size() - stats.metablock_size_bytes -
                                     std::to_string(stats.metablock_size_bytes).size() - 6);
  EXPECT_EQ(to_string(stats),
            "File size:       (streaming)\n"
            "Header:          0 B\n"
            "Metablock:       " +
                fmt_bytes(stats.metablock_size_bytes) +
                "\n"
                "Data section:    " +
                data +
                "\n"
                "Read in:         400 ms\n"
                "\n"
                "Channels total:        4\n"
                "With data:             4\n"
                "Unsupported:           0\n"
                "\n"
                "Blocks total:          6\n"
                "Read:                  6\n"
                "Skipped (unsupp.):     0\n"
                "Skipped (deprec.):     0\n"
                "Skipped (status ev.):  0\n"
                "Skipped (reserved):    0\n"
                "Skipped (zero-len):    0\n"
                "Truncated:             0\n");
}

}  // namespace
}  // namespace qel
