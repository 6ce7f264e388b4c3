#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "frame_builder.hpp"
#include "qel/binary_write.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"
#include "qel/manager.hpp"
#include "qel/output_file.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

using Raw = std::vector<std::uint8_t>;
using Le = testing::Bytes;
using Blocks = std::vector<std::pair<std::uint8_t, std::uint32_t>>;  // control byte, N

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "qel_write_" + name;
}

Raw read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
T load_le(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

struct Frame {
  std::uint16_t channel;
  Raw payload;  // without the CRC

  std::uint8_t control() const { return payload.at(0); }
  bool multi() const { return (control() & 0x80) != 0; }
  // Start blocks carry start and rate, single timestamped ones a timestamp.
  std::size_t fields() const { return (control() & 0x7F) == 6 ? 16 : control() == 0x08 ? 8 : 0; }
  // N of a block form: the count field of the multi forms, else 1.
  std::uint32_t count() const {
    return multi() ? load_le<std::uint32_t>(&payload.at(1 + fields())) : 1;
  }
  std::size_t head() const { return 1 + fields() + (multi() ? 4 : 0); }
};

struct WrittenFile {
  std::string header;
  std::string metablock;
  std::vector<Frame> frames;

  Blocks forms() const {
    Blocks out;
    for (const auto& frame : frames) out.emplace_back(frame.control(), frame.count());
    return out;
  }
  // The samples of every frame, heads left out, in file order.
  Raw joined() const {
    Raw out;
    for (const auto& frame : frames) {
      out.insert(out.end(), frame.payload.begin() + frame.head(), frame.payload.end());
    }
    return out;
  }
};

// Splits a written file into header line, metablock and frames, checking
// every frame CRC on the way.
WrittenFile parse_file(const std::string& path, const Raw& widths, bool with_crc) {
  const auto bytes = read_bytes(path);
  WrittenFile out;
  const auto line_end = std::find(bytes.begin(), bytes.end(), '\n');
  out.header.assign(bytes.begin(), line_end);
  const std::size_t metablock_size = std::stoul(out.header.substr(5));
  std::size_t at = static_cast<std::size_t>(line_end - bytes.begin()) + 1;
  out.metablock.assign(bytes.begin() + at, bytes.begin() + at + metablock_size);
  at += metablock_size;
  while (at < bytes.size()) {
    Frame frame;
    frame.channel = load_le<std::uint16_t>(&bytes.at(at));
    const std::uint8_t width = widths.at(frame.channel);
    const std::size_t length = width == 2 ? load_le<std::uint16_t>(&bytes.at(at + 2))
                                          : load_le<std::uint32_t>(&bytes.at(at + 2));
    const std::size_t payload_at = at + 2 + width;
    const std::size_t payload_len = length - (with_crc ? 4 : 0);
    EXPECT_LE(payload_at + length, bytes.size());
    frame.payload.assign(bytes.begin() + payload_at, bytes.begin() + payload_at + payload_len);
    if (with_crc) {
      const std::span<const std::uint8_t> covered(&bytes[at], 2 + width + payload_len);
      EXPECT_EQ(crc32c(covered), load_le<std::uint32_t>(&bytes.at(payload_at + payload_len)));
    }
    at = payload_at + length;
    out.frames.push_back(std::move(frame));
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
    builder.set_integrity(integrity(with_crc));
    const std::string path = temp_path(with_crc ? "exact_crc" : "exact");
    ASSERT_TRUE(write_to_file(std::move(builder), path));
    const auto file = parse_file(path, {2, 2, 2, 4, 2}, with_crc);
    const auto metablock_crc = crc32c(std::span(
        reinterpret_cast<const std::uint8_t*>(file.metablock.data()), file.metablock.size()));
    EXPECT_EQ(file.header, "QEL5 " + std::to_string(file.metablock.size()) +
                               (with_crc ? " crc32c:" + hex8(metablock_crc) : ""));
    // A single timestamped record still takes the multi form, an empty
    // channel writes nothing, every string or binary sample gets a block.
    const std::vector<std::pair<std::uint16_t, Le>> expected{
        {0, Le().u8(0x88).u32(1).i64(-3).u16(0xBEEF)},
        {2, Le().u8(0x08).i64(30).text("ab")},
        {2, Le().u8(0x08).i64(-3)},
        {3, Le().u8(0x08).i64(30).raw(raw)},
        {4, Le().u8(0x06).i64(5).f64(2.0).f64(1.5)},
        {4, Le().u8(0x86).i64(-6).f64(0.5).u32(2).f64(1.5).f64(-2.0)}};
    ASSERT_EQ(file.frames.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(file.frames[i].channel, expected[i].first) << i;
      EXPECT_EQ(file.frames[i].payload, expected[i].second.vec()) << i;
    }
  }
}

template <class T>
T value_at(std::size_t i) {
  if constexpr (std::is_same_v<T, GpsPoint>) {
    return {static_cast<double>(i), -1.0, 0.5};
  } else {
    return static_cast<T>(i * 7);
  }
}

// Each adds `count` samples to channel 0 and returns their bytes as the
// blocks must hold them.
template <class T>
Raw add_segment(WriterBuilder& builder, std::size_t count) {
  std::vector<T> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = value_at<T>(i);
  if constexpr (std::is_same_v<T, float>) {
    EXPECT_TRUE(builder.add_equidistant_segment_f32(0, -7, values, 2.5));
  } else {
    EXPECT_TRUE(builder.add_equidistant_segment_f64(0, -7, values, 2.5));
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(values.data());
  return Raw(bytes, bytes + count * sizeof(T));
}

template <class T>
Raw add_timestamped(WriterBuilder& builder, std::size_t count) {
  constexpr std::size_t kRecord = 8 + sizeof(T);
  std::vector<std::int64_t> stamps(count);
  const auto values = std::make_unique<T[]>(count);
  Raw records(count * kRecord);
  for (std::size_t i = 0; i < count; ++i) {
    stamps[i] = 1000 - static_cast<std::int64_t>(i);
    values[i] = value_at<T>(i);
    std::memcpy(&records[i * kRecord], &stamps[i], 8);
    std::memcpy(&records[i * kRecord + 8], &values[i], sizeof(T));
  }
  EXPECT_TRUE(
      builder.add_timestamped_samples<T>(0, stamps, std::span<const T>(values.get(), count)));
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
  std::size_t size;  // passed to `add`
  std::uint8_t declared;
  std::uint8_t width;  // in the file
  bool with_crc;
  std::size_t count;
  Blocks blocks;
  std::string log;
};

void PrintTo(const SplitCase& split, std::ostream* out) {
  *out << split.label;
}

class BlockSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BlockSplit, FillsEachBlockToTheBudgetAndReadsBack) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", param.type, param.declared)));
  const Raw samples = param.add(builder, param.size);
  builder.set_integrity(integrity(param.with_crc));
  const std::string path = temp_path("split_" + param.label);
  log::CapturingSink sink;
  {
    const log::ScopedSink scope(sink);
    ASSERT_TRUE(write_to_file(std::move(builder), path));
  }
  std::string logged;
  for (const auto& record : sink.records) {
    EXPECT_EQ(record.level, log::Level::Debug);
    logged += std::string(record.target) + ": " + record.message;
  }
  EXPECT_EQ(logged, param.log);
  const auto file = parse_file(path, {param.width}, param.with_crc);
  EXPECT_EQ(file.forms(), param.blocks);
  EXPECT_TRUE(file.joined() == samples);
  // The reader finds the width in the metablock and joins the blocks of one
  // segment again.
  const auto loaded = DataManager::load_from_file(path);
  ASSERT_TRUE(loaded) << loaded.error().message();
  const Channel& channel = loaded->channels().at(0);
  EXPECT_EQ(channel.sample_count(), param.count);
  if (const auto* equidistant = std::get_if<EquidistantStorage>(&channel.storage)) {
    ASSERT_EQ(equidistant->segments.size(), 1u);
    EXPECT_EQ(equidistant->segments[0].start_timestamp_ns, -7);
    EXPECT_EQ(equidistant->segments[0].sample_rate_hz, 2.5);
  }
}

template <class T>
SplitCase segment(std::string label, bool with_crc, std::size_t count, Blocks blocks,
                  std::uint8_t width = 2) {
  const DataTypeId type = std::is_same_v<T, float> ? DataTypeId::Float : DataTypeId::Double;
  return SplitCase(std::move(label), type, add_segment<T>, count, width, width, with_crc, count,
                   std::move(blocks), "");
}

template <class T>
SplitCase records(std::string label, DataTypeId type, bool with_crc, std::size_t count,
                  Blocks blocks, std::uint8_t width = 2) {
  return SplitCase(std::move(label), type, add_timestamped<T>, count, width, width, with_crc, count,
                   std::move(blocks), "");
}

// One record more than fits a block.
template <class T>
SplitCase over_budget(std::string label, DataTypeId type, bool with_crc, std::uint32_t fits) {
  return records<T>(std::move(label), type, with_crc, fits + 1, {{0x88, fits}, {0x88, 1}});
}

// A string or binary sample is never split: a 2-byte field is widened when
// one sample needs more.
SplitCase texts(std::string label, bool with_crc, std::size_t size, bool raised) {
  const std::string log =
      "qel_core::writer: channel 0 \"x\": auto-bumping size_of_length_value 2 -> 4 (a single "
      "sample would need 65536 bytes)";
  return SplitCase(std::move(label), DataTypeId::String, add_texts, size, 2, raised ? 4 : 2,
                   with_crc, 2, Blocks{{0x08, 1}, {0x08, 1}}, raised ? log : "");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, BlockSplit,
    ::testing::Values(
        segment<double>("Empty", false, 0, {{0x86, 0}}),
        segment<double>("One", false, 1, {{0x06, 1}}),
        segment<double>("Two", false, 2, {{0x86, 2}}),
        segment<double>("DoubleFirstFull", false, 8189, {{0x86, 8189}}),
        segment<double>("DoubleOneOver", false, 8190, {{0x86, 8189}, {0x05, 1}}),
        segment<double>("DoubleContinued", false, 16382, {{0x86, 8189}, {0x85, 8191}, {0x85, 2}}),
        segment<double>("DoubleCrc", true, 16379, {{0x86, 8188}, {0x85, 8190}, {0x05, 1}}),
        segment<float>("FloatContinued", false, 32762, {{0x86, 16378}, {0x85, 16382}, {0x85, 2}}),
        segment<float>("FloatCrc", true, 32760, {{0x86, 16377}, {0x85, 16381}, {0x85, 2}}),
        segment<double>("WideFieldOneBlock", true, 100000, {{0x86, 100000}}, 4),
        over_budget<double>("Double", DataTypeId::Double, false, 4095),
        over_budget<float>("Float", DataTypeId::Float, false, 5460),
        over_budget<std::int16_t>("Int16", DataTypeId::Int16, false, 6553),
        over_budget<bool>("Bool", DataTypeId::Bool, false, 7281),
        over_budget<std::int8_t>("Int8Crc", DataTypeId::Int8, true, 7280),
        over_budget<GpsPoint>("Gps", DataTypeId::GpsLocation, false, 2047),
        // Records are copied out in pieces of 64 KiB; a wide block takes several.
        records<std::uint64_t>("WideFieldPieces", DataTypeId::UInt64, true, 10000, {{0x88, 10000}},
                               4),
        texts("TextFits", false, 65526, false), texts("TextRaised", false, 65527, true),
        texts("TextFitsCrc", true, 65522, false), texts("TextRaisedCrc", true, 65523, true)),
    [](const auto& test) { return test.param.label; });

WriterBuilder with_sample_at(std::size_t index, IntegrityProfile profile) {
  WriterBuilder builder;
  for (std::size_t i = 0; i <= index; ++i) {
    EXPECT_TRUE(builder.add_channel(def("c", DataTypeId::String)));
  }
  const std::vector<std::int64_t> stamps{1};
  const std::vector<std::string_view> texts{"lost"};
  EXPECT_TRUE(builder.add_string_samples(static_cast<std::uint16_t>(index), stamps, texts));
  builder.set_integrity(profile);
  return builder;
}

WriterBuilder one_channel(std::string name, IntegrityProfile profile) {
  WriterBuilder builder;
  EXPECT_TRUE(builder.add_channel(def(std::move(name), DataTypeId::Double)));
  builder.set_integrity(profile);
  return builder;
}

struct RefusalCase {
  std::string label;
  std::function<WriterBuilder()> make;
  std::string message;
};

class RefusedWrite : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedWrite, LeavesAnExistingFileUntouched) {
  const std::string path = temp_path("refused_" + GetParam().label);
  std::ofstream(path) << "precious";
  const Status status = write_to_file(GetParam().make(), path);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), GetParam().message);
  const auto bytes = read_bytes(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    BeforeCreating, RefusedWrite,
    ::testing::Values(
        RefusalCase{"NoChannels", [] { return WriterBuilder(); },
                    "writer has no channels declared"},
        RefusalCase{"Ed25519", [] { return one_channel("x", IntegrityProfile::ed25519); },
                    "invalid QEL block payload: this writer implements integrity level crc only; "
                    "signing (ed25519) is not supported"},
        RefusalCase{"InvalidUtf8Name", [] { return one_channel("\xFF", IntegrityProfile::none); },
                    "QEL5 metablock JSON parse error: invalid utf-8 sequence of 1 bytes from index "
                    "0"},
        RefusalCase{"TrailerIndex", [] { return with_sample_at(65535, IntegrityProfile::none); },
                    "invalid QEL block payload: channel 65535 \"c\": index 65535 is the stream "
                    "trailer marker; its samples could not be read back"},
        RefusalCase{"SignatureIndex",
                    [] { return with_sample_at(65534, IntegrityProfile::crc32c); },
                    "invalid QEL block payload: channel 65534 \"c\": index 65534 is the signature "
                    "block marker in files with integrity data; its samples could not be read "
                    "back"}),
    [](const auto& test) { return test.param.label; });

TEST(WriteFile, SignatureIndexIsAnOrdinaryChannelWithoutIntegrity) {
  WriterBuilder builder = with_sample_at(65534, IntegrityProfile::none);
  ASSERT_TRUE(builder.add_channel(def("last", DataTypeId::Double)));  // 65535, no samples
  const std::string path = temp_path("index_65534");
  ASSERT_TRUE(write_to_file(std::move(builder), path));
  const auto file = parse_file(path, Raw(65536, 2), false);
  ASSERT_EQ(file.frames.size(), 1u);
  EXPECT_EQ(file.frames[0].channel, 65534);
}

TEST(WriteFile, CreateFailureIsAnIoError) {
  const Status status =
      write_to_file(one_channel("x", IntegrityProfile::none), temp_path("missing/dir/file.qel"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "I/O error: No such file or directory (os error 2)");
}

// The writer's own budgets stay below these limits; the block writer checks them anyway.
TEST(BlockWriter, LengthMustFitTheField) {
  const std::string u16 =
      "invalid QEL block payload: channel 9: block length 65536 bytes exceeds u16 length field; "
      "increase size_of_length_value to 4";
  const std::tuple<std::uint8_t, bool, std::uint64_t, std::string> cases[] = {
      {2, false, 65535, ""},
      {2, false, 65536, u16},
      {2, true, 65531, ""},
      {2, true, 65532, u16},
      {4, false, 4294967295, ""},
      {4, true, 4294967292,
       "invalid QEL block payload: channel 9: block length 4294967296 bytes overflows u32 length "
       "field"}};
  for (const auto& [width, with_crc, payload, message] : cases) {
    auto out = OutputFile::create(temp_path("limit"));
    ASSERT_TRUE(out);
    BlockWriter blocks(*out, with_crc);
    const Status status = blocks.begin(9, width, payload);
    EXPECT_EQ(status ? std::string() : status.error().message(), message) << payload;
  }
}

}  // namespace
}  // namespace qel
