#include <gtest/gtest.h>

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

using test::Bytes;
using test::ChannelDecl;
using test::FileBuilder;
using test::kAbsTimeStampData;
using test::kContinuedData;
using test::kMulti;
using test::kStartData;

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

struct WrapCase {
  const char* name;
  std::optional<test::Wrapper> wrapper;
  CompressionFormat format;
};

class Compression : public ::testing::TestWithParam<WrapCase> {};

TEST_P(Compression, LoadsLikeThePlainFile) {
  const WrapCase& c = GetParam();
  FileBuilder builder;
  builder.channels({{1, "speed", "double", 2}, {3, "note", "string", 4}})
      .frame(1, kStartData | kMulti, Bytes().i64(1000).f64(10.0).u32(2).f64(0.5).f64(1.5))
      .frame(3, kAbsTimeStampData | kMulti, Bytes().u32(2).i64(3).text("ab").i64(4).text("cd"))
      .frame(1, kContinuedData | kMulti, Bytes().u32(1).f64(2.5));
  const auto plain = builder.file();
  const auto manager = load(c.wrapper ? test::compress(plain, *c.wrapper) : plain, 12345);
  ASSERT_TRUE(manager) << manager.error().message();
  const auto& speed = std::get<EquidistantStorage>(manager->channel("speed")->storage);
  EXPECT_EQ(values_of<double>(speed.values), (std::vector<double>{0.5, 1.5, 2.5}));
  EXPECT_EQ(speed.segments.at(0).sample_count, 3u);
  EXPECT_EQ((*manager->channel("note")->as_strings())->text(1), "cd");
  const ReaderStats& stats = manager->stats();
  EXPECT_EQ(stats.blocks_read, 3u);
  EXPECT_EQ(stats.file_size_bytes, 12345u);
  EXPECT_EQ(stats.compression_format, c.format);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Compression,
    ::testing::Values(WrapCase{"Plain", std::nullopt, CompressionFormat::none},
                      WrapCase{"Gzip", test::Wrapper::gzip, CompressionFormat::gzip},
                      WrapCase{"Zlib", test::Wrapper::zlib, CompressionFormat::zlib}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Load, DeclaredChannelsWithoutBlocksAndUnsupportedOnesLeftOut) {
  FileBuilder file;
  file.channels({{1, "a", "int16"}, {2, "b", "binary"}, {3, "c", "complex128"}});
  const auto manager = load(file.file());
  ASSERT_TRUE(manager) << manager.error().message();
  ASSERT_EQ(manager->channels().size(), 2u);
  EXPECT_TRUE(manager->channels()[0].is_empty());
  EXPECT_TRUE(manager->channels()[1].as_binaries() && !manager->channels()[1].as_strings());
  EXPECT_EQ(manager->channel("c"), nullptr);
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

TEST(Load, FailingStepEndsTheLoadWithItsError) {
  const std::string meta = test::metablock_json({{1, "a", "double"}});
  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      {text_file("QEL5 1073741825\n{}"),
       "invalid QEL metablock: metablock length 1073741825 exceeds the supported maximum of "
       "1073741824 bytes"},
      {text_file("QEL5 " + std::to_string(meta.size()) + " crc32c:00000001\n" + meta),
       "metablock CRC mismatch: header token 0x00000001, computed 0x" +
           hex8(crc32c(Bytes().text(meta)))}};
  for (const auto& [file, message] : cases) EXPECT_EQ(load_error(file), message);
}

TEST(Load, LargeAnnouncedMetablockOnAShortFileAllocatesOnlyWhatArrives) {
  const long before = max_rss_kib();
  EXPECT_EQ(load_error(text_file("QEL5 1073741824\n{\"qel\":{}}")),
            "I/O error: failed to fill whole buffer");
  EXPECT_LT(max_rss_kib() - before, 64 * 1024);
}

TEST(Load, MetablockThatCannotBeOfItsVersionIsRefusedAtItsFirstBytes) {
  // Announced far longer than the file: what is refused is refused before the rest is
  // waited for, with the error the parse of the whole gives; what can begin a
  // metablock is read on and ends in the file's end.
  const std::string eof = "I/O error: failed to fill whole buffer";
  const std::pair<std::string, std::string> cases[] = {
      {"QEL5 \n [1,2]", "invalid QEL metablock: QEL5 root must be a JSON object"},
      {"QEL5 \n\"qel\"", "invalid QEL metablock: QEL5 root must be a JSON object"},
      {"QEL5 \n \r\n\tx{}", ""},
      {"QEL5 \n\xEF\xBB\xBF<velmaris/>", ""},
      {"QEL4 \n\xEF\xBB\xBF  hello <velmaris/>", ""},
      {"QEL4 \n{\"qel\": {}}", ""},
      {"QEL5 \n\xEF\xBB\xBF {\"qel\": {}}", eof},
      {"QEL4 \n\n<?xml version=\"1.0\"?><velmaris>", eof},
      {"QEL4 \n   ", eof},
  };
  for (const auto& [text, message] : cases) {
    const std::size_t line_end = text.find('\n');
    const std::string body = text.substr(line_end + 1);
    const std::string whole = text.substr(0, line_end) + std::to_string(body.size()) + "\n" + body;
    const std::string announced = text.substr(0, line_end) + "4194304\n" + body;
    // An empty expectation: the error of the complete metablock.
    const std::string expected = message.empty() ? load_error(text_file(whole)) : message;
    EXPECT_NE(expected, "loaded") << text;
    EXPECT_EQ(load_error(text_file(announced)), expected) << text;
  }
}

}  // namespace
}  // namespace qel
