#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "frame_builder.hpp"
#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

using test::Bytes;
using test::FileBuilder;
using test::kAbsTimeStampData;
using test::kMulti;
using test::kStartData;

template <class T>
Bytes start_data(std::int64_t start, double rate, std::initializer_list<T> values) {
  Bytes out;
  out.i64(start).f64(rate).u32(static_cast<std::uint32_t>(values.size()));
  for (const T value : values) out.le(value);
  return out;
}

Bytes one_string(std::int64_t stamp, std::string_view text) {
  return Bytes().u32(1).i64(stamp).text(text);
}

std::string channel_json(int index, std::string_view name, std::string_view datatype,
                         std::string_view channeltype = "scalar") {
  return "{\"index\":" + std::to_string(index) + ",\"name\":\"" + std::string(name) +
         "\",\"channeltype\":\"" + std::string(channeltype) + "\",\"datatype\":\"" +
         std::string(datatype) + "\",\"sizeoflengthvalue\":2}";
}

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "qel_from_manager_" + name;
}

DataManager load(std::string_view identifier, std::string_view metablock,
                 const FileBuilder& blocks) {
  const auto bytes =
      FileBuilder()
          .header_line(std::string(identifier) + " " + std::to_string(metablock.size()))
          .metablock(std::string(metablock))
          .raw(blocks.blocks())
          .file();
  const std::string path = temp_path("input");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  auto loaded = DataManager::load_from_file(path);
  EXPECT_TRUE(loaded) << loaded.error().message();
  return std::move(*loaded);
}

DataManager load_v5(const std::vector<std::string>& channels, const FileBuilder& blocks,
                    std::string_view file = "{}") {
  std::string list;
  for (const auto& channel : channels) list += (list.empty() ? "" : ",") + channel;
  return load("QEL5",
              "{\"qel\":{\"format\":\"qel5\",\"file\":" + std::string(file) +
                  ",\"infos\":[{\"name\":\"i\",\"value\":\"v\"}],\"channels\":[" + list + "]}}",
              blocks);
}

// Converts `manager`, writes the result and loads it again.
DataManager save_and_reload(const DataManager& manager, const std::string& name) {
  auto builder = WriterBuilder::from_manager(manager);
  EXPECT_TRUE(builder) << builder.error().message();
  EXPECT_EQ(builder->integrity(), IntegrityProfile::none);
  const std::string path = temp_path(name);
  const Status written = write_to_file(std::move(*builder), path);
  EXPECT_TRUE(written) << written.error().message();
  auto reloaded = DataManager::load_from_file(path);
  EXPECT_TRUE(reloaded) << reloaded.error().message();
  return std::move(*reloaded);
}

TEST(FromManager, RenumbersDenselyAndCarriesFileInformation) {
  FileBuilder blocks;
  blocks.frame(3, kAbsTimeStampData | kMulti, one_string(-4, "hi"))
      .frame(7, kStartData | kMulti, start_data<double>(100, 10.0, {1.5, 2.5}));
  const auto input =
      load_v5({channel_json(7, "first", "double"), channel_json(3, "second", "string")}, blocks,
              R"({"creator":"c","created_utc":"2001-01-01T00:00:00Z","created_at_latitude":1.5})");
  const DataManager saved = save_and_reload(input, "renumber");
  ASSERT_EQ(saved.channels().size(), 2u);
  EXPECT_EQ(saved.channels()[0].name + saved.channels()[1].name, "firstsecond");
  EXPECT_EQ(saved.channels()[1].index, 1);
  EXPECT_EQ(saved.channels()[0].sample_count() + saved.channels()[1].sample_count(), 3u);
  // Every file field is carried (test_write_round_trip) except the creation
  // time; an absent position stays absent; the infos are dropped.
  const FileInfo& file = saved.meta().file;
  EXPECT_EQ(file.creator, "c");
  EXPECT_EQ(file.created_at_latitude, 1.5);
  EXPECT_FALSE(file.created_at_longitude);
  EXPECT_NE(file.created_utc, "2001-01-01T00:00:00Z");
  EXPECT_TRUE(saved.meta().infos.empty());
}

// Version 4 ends every value with a terminator and may lack a creator.
TEST(FromManager, Version4SavesAsVersion5) {
  FileBuilder blocks;
  blocks.frame(0, kAbsTimeStampData | kMulti, one_string(8, "ab").u8(0));
  const auto input = load("QEL4",
                          "<velmaris created_utc=\"2001-01-01T00:00:00Z\"><channels><channel "
                          "index=\"0\" name=\"raw\" channeltype=\"scalar\" datatype=\"bytearray\" "
                          "sizeoflengthvalue=\"2\"/></channels></velmaris>",
                          blocks);
  const DataManager saved = save_and_reload(input, "v4");
  EXPECT_EQ(saved.meta().format_version, 5u);
  EXPECT_EQ(saved.meta().file.creator, "qel-core/0.0.1");
  EXPECT_EQ(saved.channels()[0].data_type, DataTypeId::Binary);
  const auto* raw = *saved.channels()[0].as_binaries();
  ASSERT_EQ(raw->size(), 1u);
  EXPECT_EQ(raw->text(0), "ab");
}

struct RefusalCase {
  std::string label;
  std::string channel;
  Bytes blocks;
  std::string message;
};

class FromManagerRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(FromManagerRefusal, LoadedButNotWritable) {
  FileBuilder blocks;
  blocks.frame(0, kStartData | kMulti, start_data<double>(0, 1.0, {1.0}));
  if (!GetParam().blocks.vec().empty()) blocks.frame(1, kStartData | kMulti, GetParam().blocks);
  const auto input = load_v5({channel_json(0, "ok", "double"), GetParam().channel}, blocks);
  const auto builder = WriterBuilder::from_manager(input);
  ASSERT_FALSE(builder);
  EXPECT_EQ(builder.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FromManagerRefusal,
    ::testing::Values(
        RefusalCase{"IntegerSegment", channel_json(1, "n", "int16"),
                    start_data<std::int16_t>(0, 1.0, {7}),
                    "invalid QEL block payload: channel 1: equidistant data type Int16 is not "
                    "float or double"},
        RefusalCase{"UnknownChannelType",
                    channel_json(1, "t", "double", "tensor"),
                    {},
                    "invalid QEL metablock: channel \"t\": channel type Unsupported(_) cannot be "
                    "written"}),
    [](const auto& test) { return test.param.label; });

}  // namespace
}  // namespace qel
