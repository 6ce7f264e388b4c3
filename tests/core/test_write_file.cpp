#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "frame_builder.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"
#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

using Raw = std::vector<std::uint8_t>;
using Le = test::Bytes;
using Blocks = std::vector<std::pair<std::uint8_t, std::uint32_t>>;  // control byte, N

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "qel_write_" + name;
}

Raw read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
T load_le(const Raw& bytes, std::size_t at) {
  T value;
  std::memcpy(&value, &bytes.at(at), sizeof(T));
  return value;
}

struct Frame {
  std::uint16_t channel;
  Raw payload;  // without the CRC
};

struct WrittenFile {
  std::string header;
  Raw metablock;
  std::vector<Frame> frames;
};

// Splits a written file into header line, metablock and frames, checking
// every frame CRC on the way.
WrittenFile parse_file(const std::string& path, const Raw& widths, bool with_crc) {
  const auto bytes = read_bytes(path);
  WrittenFile out;
  const auto line_end = std::find(bytes.begin(), bytes.end(), '\n');
  out.header.assign(bytes.begin(), line_end);
  std::size_t at = static_cast<std::size_t>(line_end - bytes.begin()) + 1;
  const std::size_t metablock_end = at + std::stoul(out.header.substr(5));
  out.metablock.assign(bytes.begin() + at, bytes.begin() + metablock_end);
  for (at = metablock_end; at < bytes.size();) {
    const auto channel = load_le<std::uint16_t>(bytes, at);
    const std::uint8_t width = widths.at(channel);
    const std::size_t length =
        width == 2 ? load_le<std::uint16_t>(bytes, at + 2) : load_le<std::uint32_t>(bytes, at + 2);
    const std::size_t payload_at = at + 2 + width;
    const std::size_t payload_end = payload_at + length - (with_crc ? 4 : 0);
    EXPECT_LE(payload_at + length, bytes.size());
    if (with_crc) {
      const std::span<const std::uint8_t> covered(&bytes[at], payload_end - at);
      EXPECT_EQ(crc32c(covered), load_le<std::uint32_t>(bytes, payload_end));
    }
    out.frames.push_back({channel, Raw(bytes.begin() + payload_at, bytes.begin() + payload_end)});
    at = payload_at + length;
  }
  return out;
}

ChannelDef def(std::string name, DataTypeId type, std::uint8_t width = 2) {
  ChannelDef out;
  out.name = std::move(name);
  out.data_type = type;
  out.size_of_length_value = width;
  return out;
}

IntegrityProfile integrity(bool with_crc) {
  return with_crc ? IntegrityProfile::crc32c : IntegrityProfile::none;
}

TEST(WriteFile, ExactBlocksAndHeaderLineWithAndWithoutIntegrity) {
  for (const bool with_crc : {false, true}) {
    WriterBuilder builder;
    ASSERT_TRUE(builder.add_channel(def("one", DataTypeId::UInt16)));
    ASSERT_TRUE(builder.add_channel(def("none", DataTypeId::UInt16)));
    ASSERT_TRUE(builder.add_channel(def("s", DataTypeId::String)));
    ASSERT_TRUE(builder.add_channel(def("b", DataTypeId::Binary, 4)));
    ASSERT_TRUE(builder.add_channel(def("eq", DataTypeId::Double)));
    const std::vector<std::int64_t> stamps{30, -3};
    const std::vector<std::uint16_t> values{0xBEEF};
    const std::vector<std::string_view> texts{"ab", ""};
    const Raw raw{0, 0xFF, 7};
    const std::vector<std::span<const std::uint8_t>> blobs{raw};
    const std::vector<double> samples{1.5, -2.0};
    ASSERT_TRUE(builder.add_timestamped_samples<std::uint16_t>(0, {&stamps[1], 1}, values));
    ASSERT_TRUE(builder.add_timestamped_samples<std::uint16_t>(1, {}, {}));
    ASSERT_TRUE(builder.add_string_samples(2, stamps, texts));
    ASSERT_TRUE(builder.add_binary_samples(3, std::span(stamps).first(1), blobs));
    ASSERT_TRUE(builder.add_equidistant_segment_f64(4, 5, std::span(samples).first(1), 2.0));
    ASSERT_TRUE(builder.add_equidistant_segment_f64(4, -6, samples, 0.5));
    ASSERT_TRUE(builder.add_equidistant_segment_f64(4, 9, {}, 1.0));
    builder.set_integrity(integrity(with_crc));
    const std::string path = temp_path(with_crc ? "exact_crc" : "exact");
    ASSERT_TRUE(write_to_file(std::move(builder), path));
    const auto file = parse_file(path, {2, 2, 2, 4, 2}, with_crc);
    EXPECT_EQ(file.header, "QEL5 " + std::to_string(file.metablock.size()) +
                               (with_crc ? " crc32c:" + hex8(crc32c(file.metablock)) : ""));
    // A single timestamped record still takes the multi form, an empty
    // channel writes nothing, an empty segment one block, every string or
    // binary sample gets a block.
    const std::vector<std::pair<std::uint16_t, Le>> expected{
        {0, Le().u8(0x88).u32(1).i64(-3).u16(0xBEEF)},
        {2, Le().u8(0x08).i64(30).text("ab")},
        {2, Le().u8(0x08).i64(-3)},
        {3, Le().u8(0x08).i64(30).raw(raw)},
        {4, Le().u8(0x06).i64(5).f64(2.0).f64(1.5)},
        {4, Le().u8(0x86).i64(-6).f64(0.5).u32(2).f64(1.5).f64(-2.0)},
        {4, Le().u8(0x86).i64(9).f64(1.0).u32(0)}};
    ASSERT_EQ(file.frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(file.frames[i].channel, expected[i].first) << i;
      EXPECT_EQ(file.frames[i].payload, expected[i].second.vec()) << i;
    }
  }
}

// Each adds `count` samples to channel 0 and returns their bytes as the
// blocks must hold them.
Raw add_segment(WriterBuilder& builder, std::size_t count) {
  std::vector<double> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<double>(i) * 0.5;
  EXPECT_TRUE(builder.add_equidistant_segment_f64(0, -7, values, 2.5));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(values.data());
  return Raw(bytes, bytes + count * sizeof(double));
}

template <class T>
Raw add_timestamped(WriterBuilder& builder, std::size_t count) {
  constexpr std::size_t kRecord = 8 + sizeof(T);
  std::vector<std::int64_t> stamps(count);
  std::vector<T> values(count);
  Raw records(count * kRecord);
  for (std::size_t i = 0; i < count; ++i) {
    stamps[i] = 1000 - static_cast<std::int64_t>(i);
    values[i] = static_cast<T>(i * 7);
    std::memcpy(&records[i * kRecord], &stamps[i], 8);
    std::memcpy(&records[i * kRecord + 8], &values[i], sizeof(T));
  }
  EXPECT_TRUE(builder.add_timestamped_samples<T>(0, stamps, values));
  return records;
}

// Two strings, the second `size` bytes long.
Raw add_texts(WriterBuilder& builder, std::size_t size) {
  const std::string text(size, 'x');
  const std::vector<std::int64_t> stamps{1, 2};
  const std::vector<std::string_view> texts{"short", text};
  EXPECT_TRUE(builder.add_string_samples(0, stamps, texts));
  return Le().text("short").text(text).vec();
}

struct SplitCase {
  std::string label;
  DataTypeId type;
  Raw (*add)(WriterBuilder&, std::size_t);
  std::size_t size;    // passed to `add`
  std::uint8_t width;  // declared, and in the file unless raised
  bool with_crc;
  Blocks blocks;
  bool raised = false;
};

void PrintTo(const SplitCase& split, std::ostream* out) {
  *out << split.label;
}

class BlockSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BlockSplit, FillsEachBlockToTheBudgetAndReadsBack) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", param.type, param.width)));
  const Raw samples = param.add(builder, param.size);
  builder.set_integrity(integrity(param.with_crc));
  const std::string path = temp_path("split_" + param.label);
  log::CapturingSink sink;
  {
    const log::ScopedSink scope(sink);
    ASSERT_TRUE(write_to_file(std::move(builder), path));
  }
  ASSERT_EQ(sink.records.size(), param.raised ? 1u : 0u);
  if (param.raised) {
    EXPECT_EQ(sink.records[0].message,
              "channel 0 \"x\": auto-bumping size_of_length_value 2 -> 4 (a single sample would "
              "need 65536 bytes)");
  }
  const auto file =
      parse_file(path, {param.raised ? std::uint8_t{4} : param.width}, param.with_crc);
  // Each block's form and N, and the samples of all blocks joined.
  Blocks forms;
  Raw joined;
  for (const auto& [channel, payload] : file.frames) {
    const std::uint8_t control = payload.at(0);
    const bool multi = (control & 0x80) != 0;
    const std::size_t fields = (control & 0x7F) == 6 ? 16 : control == 0x08 ? 8 : 0;
    forms.emplace_back(control, multi ? load_le<std::uint32_t>(payload, 1 + fields) : 1);
    joined.insert(joined.end(), payload.begin() + 1 + fields + (multi ? 4 : 0), payload.end());
  }
  EXPECT_EQ(forms, param.blocks);
  EXPECT_TRUE(joined == samples);
  // The reader finds the width in the metablock and joins the blocks again.
  const auto loaded = DataManager::load_from_file(path);
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->channels().at(0).sample_count(),
            param.type == DataTypeId::String ? 2 : param.size);
}

SplitCase segment(std::string label, bool with_crc, std::size_t count, Blocks blocks,
                  std::uint8_t width = 2) {
  return {std::move(label), DataTypeId::Double, add_segment, count, width, with_crc, blocks};
}

template <class T>
SplitCase records(std::string label, DataTypeId type, bool with_crc, std::size_t count,
                  Blocks blocks, std::uint8_t width = 2) {
  return {std::move(label), type, add_timestamped<T>, count, width, with_crc, std::move(blocks)};
}

// A string or binary sample is never split: a 2-byte field is widened when
// one sample needs more.
SplitCase texts(std::string label, bool with_crc, std::size_t size, bool raised) {
  return {std::move(label), DataTypeId::String,           add_texts, size, 2,
          with_crc,         Blocks{{0x08, 1}, {0x08, 1}}, raised};
}

// The budget boundaries of the first and continued blocks, with and without CRC.
INSTANTIATE_TEST_SUITE_P(
    Forms, BlockSplit,
    ::testing::Values(
        segment("FirstFull", false, 8189, {{0x86, 8189}}),
        segment("OneOver", false, 8190, {{0x86, 8189}, {0x05, 1}}),
        segment("Continued", false, 16382, {{0x86, 8189}, {0x85, 8191}, {0x85, 2}}),
        segment("Crc", true, 16379, {{0x86, 8188}, {0x85, 8190}, {0x05, 1}}),
        segment("WideFieldOneBlock", true, 100000, {{0x86, 100000}}, 4),
        // One record more than fits a block.
        records<double>("Records", DataTypeId::Double, false, 4096, {{0x88, 4095}, {0x88, 1}}),
        records<std::int8_t>("RecordsCrc", DataTypeId::Int8, true, 7281, {{0x88, 7280}, {0x88, 1}}),
        // Records are copied out in pieces of 64 KiB; a wide block takes several.
        records<std::uint64_t>("WideFieldPieces", DataTypeId::UInt64, true, 10000, {{0x88, 10000}},
                               4),
        texts("TextFits", false, 65526, false), texts("TextRaised", false, 65527, true),
        texts("TextFitsCrc", true, 65522, false), texts("TextRaisedCrc", true, 65523, true)),
    [](const auto& test) { return test.param.label; });

// `channels` string channels, the last with one sample.
WriterBuilder strings(std::size_t channels, IntegrityProfile profile,
                      const std::string& name = "c") {
  WriterBuilder builder;
  for (std::size_t i = 0; i < channels; ++i) {
    EXPECT_TRUE(builder.add_channel(def(name, DataTypeId::String)));
  }
  const std::vector<std::int64_t> stamps{1};
  const std::vector<std::string_view> texts{"lost"};
  if (channels > 0) {
    EXPECT_TRUE(
        builder.add_string_samples(static_cast<std::uint16_t>(channels - 1), stamps, texts));
  }
  builder.set_integrity(profile);
  return builder;
}

struct RefusalCase {
  std::string label;
  std::size_t channels;
  IntegrityProfile profile;
  std::string name;
  std::string message;
};

class RefusedWrite : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedWrite, LeavesAnExistingFileUntouched) {
  const auto& param = GetParam();
  const std::string path = temp_path("refused_" + param.label);
  std::ofstream(path) << "precious";
  const Status status = write_to_file(strings(param.channels, param.profile, param.name), path);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), param.message);
  const auto bytes = read_bytes(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious");
}

const std::string kPayload = "invalid QEL block payload: ";

INSTANTIATE_TEST_SUITE_P(
    BeforeCreating, RefusedWrite,
    ::testing::Values(
        RefusalCase{"NoChannels", 0, IntegrityProfile::none, "c",
                    "writer has no channels declared"},
        RefusalCase{"Ed25519", 1, IntegrityProfile::ed25519, "c",
                    kPayload + "this writer implements integrity level crc only; signing (ed25519) "
                               "is not supported"},
        RefusalCase{"InvalidUtf8Name", 1, IntegrityProfile::none, "\xFF",
                    "QEL5 metablock JSON parse error: invalid utf-8 sequence of 1 bytes from index "
                    "0"},
        RefusalCase{"TrailerIndex", 65536, IntegrityProfile::none, "c",
                    kPayload + "channel 65535 \"c\": index 65535 is the stream trailer marker; its "
                               "samples could not be read back"},
        RefusalCase{"SignatureIndex", 65535, IntegrityProfile::crc32c, "c",
                    kPayload + "channel 65534 \"c\": index 65534 is the signature block marker in "
                               "files with integrity data; its samples could not be read back"}),
    [](const auto& test) { return test.param.label; });

TEST(WriteFile, SignatureIndexIsAnOrdinaryChannelWithoutIntegrity) {
  WriterBuilder builder = strings(65535, IntegrityProfile::none);
  ASSERT_TRUE(builder.add_channel(def("last", DataTypeId::Double)));  // 65535, no samples
  const std::string path = temp_path("index_65534");
  ASSERT_TRUE(write_to_file(std::move(builder), path));
  const auto file = parse_file(path, Raw(65536, 2), false);
  ASSERT_EQ(file.frames.size(), 1u);
  EXPECT_EQ(file.frames[0].channel, 65534);
}

}  // namespace
}  // namespace qel
