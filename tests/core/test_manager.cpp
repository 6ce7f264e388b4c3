#include <gtest/gtest.h>

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

using qel::test::Captured;
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
FileBuilder mixed_file() {
  FileBuilder file;
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
  const auto& speed = std::get<EquidistantStorage>(manager.channel("speed")->storage);
  EXPECT_EQ(values_of<double>(speed.values), (std::vector<double>{0.5, 1.5, 2.5}));
  ASSERT_EQ(speed.segments.size(), 1u);
  EXPECT_EQ(speed.segments[0].sample_count, 3u);

  const auto& gps = std::get<TimestampedStorage>(manager.channel_by_index(2)->storage);
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

struct WrapCase {
  const char* name;
  std::optional<testing::Wrapper> wrapper;
  CompressionFormat format;
};

class EveryStorageKind : public ::testing::TestWithParam<WrapCase> {};

TEST_P(EveryStorageKind, LoadsTheSameFromPlainAndCompressedFiles) {
  const WrapCase& c = GetParam();
  const auto plain = mixed_file().file();
  const auto file = c.wrapper ? testing::compress(plain, *c.wrapper) : plain;
  const auto manager = load(file, 12345);
  ASSERT_TRUE(manager) << manager.error().message();
  expect_mixed_channels(*manager);
  const ReaderStats& stats = manager->stats();
  const std::size_t metablock = testing::metablock_json(kMixedChannels).size();
  EXPECT_EQ(stats.blocks_read, 6u);
  EXPECT_EQ(stats.file_size_bytes, 12345u);
  EXPECT_EQ(stats.header_size_bytes, 0u);
  EXPECT_EQ(stats.metablock_size_bytes, metablock);
  EXPECT_EQ(stats.compressed, c.wrapper.has_value());
  EXPECT_EQ(stats.compression_format, c.format);
  EXPECT_EQ(stats.integrity, IntegrityProfile::none);
}

INSTANTIATE_TEST_SUITE_P(
    Files, EveryStorageKind,
    ::testing::Values(WrapCase{"Plain", std::nullopt, CompressionFormat::none},
                      WrapCase{"Gzip", testing::Wrapper::gzip, CompressionFormat::gzip},
                      WrapCase{"Zlib", testing::Wrapper::zlib, CompressionFormat::zlib}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Load, DeclaredChannelsWithoutBlocksAndUnsupportedOnesLeftOut) {
  FileBuilder file;
  file.channels(
      {{1, "a", "int16"}, {2, "b", "binary"}, {3, "c", "complex128"}, {4, "d", "gpslocation"}});
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  ASSERT_EQ(manager->channels().size(), 3u);
  EXPECT_EQ(manager->channels()[0].storage_kind(), "equidistant");
  EXPECT_TRUE(manager->channels()[0].is_empty());
  EXPECT_TRUE(manager->channels()[1].as_binaries());
  EXPECT_FALSE(manager->channels()[1].as_strings());
  const Channel& gps = manager->channels()[2];
  EXPECT_EQ(gps.name, "d");
  EXPECT_EQ(std::get<EquidistantStorage>(gps.storage).values.index(), kGpsValuesIndex);
  EXPECT_EQ(manager->channel("c"), nullptr);
  EXPECT_EQ(manager->channel_by_index(3), nullptr);
  EXPECT_EQ(manager->stats().channels_total, 4u);
  EXPECT_EQ(manager->stats().channels_unsupported, 1u);
}

TEST(Load, RedefinedNamesAndIndices) {
  Captured captured;
  FileBuilder file;
  // A later index keeps the first position; a repeated name keeps the first channel.
  file.channels({{1, "x", "int8"}, {5, "old", "int8"}, {2, "x", "int8"}, {5, "new", "double"}})
      .frame(2, kStartData, Bytes().i64(0).f64(1.0).u8(9))
      .frame(5, kStartData, Bytes().i64(0).f64(1.0).f64(3.5));
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  std::vector<std::string> names;
  for (const Channel& channel : manager->channels()) names.push_back(channel.name);
  EXPECT_EQ(names, (std::vector<std::string>{"x", "new", "x"}));
  EXPECT_EQ(manager->channel("x")->index, 1);
  EXPECT_EQ(manager->channel("old"), nullptr);
  EXPECT_EQ(manager->channel_by_index(2)->sample_count(), 1u);
  EXPECT_EQ(
      values_of<double>(std::get<EquidistantStorage>(manager->channel("new")->storage).values),
      std::vector<double>{3.5});
  EXPECT_EQ(captured.messages(log::Level::Warn, log::kManager),
            std::vector<std::string>{
                "duplicate channel name \"x\" at indices \u2014 first definition kept"});
}

TEST(Load, SkippedBlocksFeedNoChannel) {
  FileBuilder file(IntegrityProfile::ed25519);
  file.channels({{1, "a", "double"}})
      .frame(1, kStartData, Bytes().i64(0).f64(1.0).f64(1.5))
      .frame(1, kContinuedData, Bytes().f64(2.5))
      .signature(Bytes().zeros(64));
  auto bytes = file.file();
  bytes[bytes.size() - 70 - 1] ^= 0x01;  // the CRC of the second frame
  const auto manager = load(bytes);
  ASSERT_TRUE(manager) << manager.error().message();
  EXPECT_EQ(manager->stats().integrity, IntegrityProfile::ed25519);
  EXPECT_EQ(manager->stats().blocks_crc_failed, 1u);
  EXPECT_EQ(manager->stats().blocks_signature_skipped, 1u);
  const auto& storage = std::get<EquidistantStorage>(manager->channel("a")->storage);
  EXPECT_EQ(values_of<double>(storage.values), std::vector<double>{1.5});
  EXPECT_EQ(storage.segments.at(0).sample_count, 1u);
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

const std::string kOneDouble = testing::metablock_json({{1, "a", "double"}});

INSTANTIATE_TEST_SUITE_P(
    Steps, LoadFailure,
    ::testing::Values(
        FailureCase{"MetablockShort", text_file("QEL5 100\n{}"),
                    "I/O error: failed to fill whole buffer"},
        FailureCase{"MetablockTooLong", text_file("QEL5 1073741825\n{}"),
                    "invalid QEL metablock: metablock length 1073741825 exceeds the supported "
                    "maximum of 1073741824 bytes"},
        FailureCase{"MetablockContent", text_file("QEL5 2\n{}"),
                    "invalid QEL metablock: QEL5 root is missing the \"qel\" envelope"},
        FailureCase{"MetablockCrc",
                    text_file("QEL5 " + std::to_string(kOneDouble.size()) + " crc32c:00000001\n" +
                              kOneDouble),
                    "metablock CRC mismatch: header token 0x00000001, computed 0x" +
                        hex8(crc32c(Bytes().text(kOneDouble)))},
        FailureCase{"DecoderError",
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
                    "channel 1 mixes equidistant and timestamped blocks"}),
    [](const auto& test) { return std::string(test.param.name); });

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

}  // namespace
}  // namespace qel
