#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "qel/binary_write.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"
#include "qel/output_file.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "qel_write_" + name;
}

std::vector<std::uint8_t> read_bytes(const std::string& path) {
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
  std::uint32_t length;
  std::vector<std::uint8_t> payload;  // without the CRC

  std::uint8_t control() const { return payload.at(0); }
  // N of a block form: from the count field, or 1 for the single forms.
  std::uint32_t count() const {
    switch (control()) {
      case 0x86:
        return load_le<std::uint32_t>(&payload.at(17));
      case 0x85:
      case 0x88:
        return load_le<std::uint32_t>(&payload.at(1));
      default:
        return 1;
    }
  }
};

struct WrittenFile {
  std::string header;
  std::string metablock;
  std::vector<Frame> frames;
};

// Splits a written file into header line, metablock and frames, checking
// every frame CRC on the way.
WrittenFile parse_file(const std::string& path, const std::vector<std::uint8_t>& widths,
                       bool with_crc) {
  const auto bytes = read_bytes(path);
  WrittenFile out;
  const auto line_end = std::find(bytes.begin(), bytes.end(), '\n');
  out.header.assign(bytes.begin(), line_end);
  const std::size_t length = std::stoul(out.header.substr(5));
  std::size_t at = static_cast<std::size_t>(line_end - bytes.begin()) + 1;
  out.metablock.assign(bytes.begin() + at, bytes.begin() + at + length);
  at += length;
  while (at < bytes.size()) {
    Frame frame;
    frame.channel = load_le<std::uint16_t>(&bytes.at(at));
    const std::uint8_t width = widths.at(frame.channel);
    frame.length = width == 2 ? load_le<std::uint16_t>(&bytes.at(at + 2))
                              : load_le<std::uint32_t>(&bytes.at(at + 2));
    const std::size_t payload_at = at + 2 + width;
    const std::size_t payload_len = frame.length - (with_crc ? 4 : 0);
    EXPECT_LE(payload_at + frame.length, bytes.size());
    frame.payload.assign(bytes.begin() + payload_at, bytes.begin() + payload_at + payload_len);
    if (with_crc) {
      const std::span<const std::uint8_t> covered(&bytes[at], 2 + width + payload_len);
      EXPECT_EQ(crc32c(covered), load_le<std::uint32_t>(&bytes.at(payload_at + payload_len)));
    }
    at = payload_at + frame.length;
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

Status write(WriterBuilder builder, const std::string& path) {
  return write_to_file(std::move(builder), path);
}

TEST(WriteFile, ChannelWithoutSamplesWritesOnlyHeaderAndMetablock) {
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", DataTypeId::Double)));
  const std::string path = temp_path("empty");
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {2}, false);
  EXPECT_EQ(file.header, "QEL5 " + std::to_string(file.metablock.size()));
  EXPECT_EQ(file.metablock.front(), '{');
  EXPECT_EQ(file.metablock.back(), '}');
  EXPECT_TRUE(file.frames.empty());
}

TEST(WriteFile, IntegrityAddsMetablockCrcAndFrameCrcs) {
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", DataTypeId::Double)));
  ASSERT_TRUE(builder.add_channel(def("s", DataTypeId::String, 4)));
  const std::vector<double> values{1, 2, 3};
  const std::vector<std::int64_t> stamps{9};
  const std::vector<std::string_view> texts{"hi"};
  ASSERT_TRUE(builder.add_equidistant_segment_f64(0, 0, values, 1.0));
  ASSERT_TRUE(builder.add_string_samples(1, stamps, texts));
  builder.set_integrity(IntegrityProfile::crc32c);
  const std::string path = temp_path("crc");
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {2, 4}, true);
  const auto metablock_crc = crc32c(std::span(
      reinterpret_cast<const std::uint8_t*>(file.metablock.data()), file.metablock.size()));
  EXPECT_EQ(file.header,
            "QEL5 " + std::to_string(file.metablock.size()) + " crc32c:" + hex8(metablock_crc));
  ASSERT_EQ(file.frames.size(), 2u);
  EXPECT_EQ(file.frames[0].length, 21u + 24u + 4u);
  EXPECT_EQ(file.frames[1].length, 9u + 2u + 4u);
}

using Blocks = std::vector<std::pair<std::uint8_t, std::uint32_t>>;

std::vector<std::pair<std::uint8_t, std::uint32_t>> forms(const WrittenFile& file) {
  Blocks out;
  for (const auto& frame : file.frames) out.emplace_back(frame.control(), frame.count());
  return out;
}

struct SegmentCase {
  std::string label;
  DataTypeId type;
  std::uint8_t width;
  bool with_crc;
  std::size_t values;
  Blocks blocks;
};

class SegmentBlocks : public testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentBlocks, SplitAtTheBudget) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", param.type, param.width)));
  std::vector<double> f64(param.values);
  std::vector<float> f32(param.values);
  for (std::size_t i = 0; i < param.values; ++i) f64[i] = f32[i] = static_cast<float>(i);
  const bool is_float = param.type == DataTypeId::Float;
  ASSERT_TRUE(is_float ? builder.add_equidistant_segment_f32(0, -7, f32, 2.5)
                       : builder.add_equidistant_segment_f64(0, -7, f64, 2.5));
  builder.set_integrity(param.with_crc ? IntegrityProfile::crc32c : IntegrityProfile::none);
  const std::string path = temp_path("segment_" + param.label);
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {param.width}, param.with_crc);
  EXPECT_EQ(forms(file), param.blocks);

  const std::size_t width = is_float ? 4 : 8;
  std::vector<std::uint8_t> joined;
  for (const auto& frame : file.frames) {
    const std::size_t head = frame.control() == 0x86   ? 21
                             : frame.control() == 0x06 ? 17
                             : frame.control() == 0x85 ? 5
                                                       : 1;
    ASSERT_EQ(frame.payload.size(), head + frame.count() * width);
    joined.insert(joined.end(), frame.payload.begin() + head, frame.payload.end());
  }
  const void* expected = is_float ? static_cast<const void*>(f32.data()) : f64.data();
  ASSERT_EQ(joined.size(), param.values * width);
  if (!joined.empty()) {
    EXPECT_EQ(std::memcmp(joined.data(), expected, joined.size()), 0);
  }
  const auto& first = file.frames.front().payload;
  EXPECT_EQ(load_le<std::int64_t>(&first[1]), -7);
  EXPECT_EQ(load_le<double>(&first[9]), 2.5);
}

constexpr DataTypeId kF64 = DataTypeId::Double;
constexpr DataTypeId kF32 = DataTypeId::Float;

INSTANTIATE_TEST_SUITE_P(
    Forms, SegmentBlocks,
    testing::ValuesIn(std::vector<SegmentCase>{
        {"Empty", kF64, 2, false, 0, {{0x86, 0}}},
        {"One", kF64, 2, false, 1, {{0x06, 1}}},
        {"Two", kF64, 2, false, 2, {{0x86, 2}}},
        {"DoubleFirstFull", kF64, 2, false, 8189, {{0x86, 8189}}},
        {"DoubleOneOver", kF64, 2, false, 8190, {{0x86, 8189}, {0x05, 1}}},
        {"DoubleContinued", kF64, 2, false, 16382, {{0x86, 8189}, {0x85, 8191}, {0x85, 2}}},
        {"DoubleCrc", kF64, 2, true, 16379, {{0x86, 8188}, {0x85, 8190}, {0x05, 1}}},
        {"FloatContinued", kF32, 2, false, 32762, {{0x86, 16378}, {0x85, 16382}, {0x85, 2}}},
        {"FloatCrc", kF32, 2, true, 32760, {{0x86, 16377}, {0x85, 16381}, {0x85, 2}}},
        {"WideFieldOneBlock", kF64, 4, true, 100000, {{0x86, 100000}}}}),
    [](const auto& test) { return test.param.label; });

template <class T>
Status add_timestamped(WriterBuilder& builder, std::size_t count) {
  std::vector<std::int64_t> stamps(count);
  for (std::size_t i = 0; i < count; ++i) stamps[i] = 1000 - static_cast<std::int64_t>(i);
  const auto values = std::make_unique<T[]>(count);
  return builder.add_timestamped_samples<T>(0, stamps, std::span<const T>(values.get(), count));
}

struct TimestampedCase {
  std::string label;
  DataTypeId type;
  Status (*add)(WriterBuilder&, std::size_t);
  bool with_crc;
  std::uint32_t per_block;
};

class TimestampedBlocks : public testing::TestWithParam<TimestampedCase> {};

TEST_P(TimestampedBlocks, FillEachBlockToTheBudget) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", param.type)));
  ASSERT_TRUE(param.add(builder, param.per_block + 1));
  builder.set_integrity(param.with_crc ? IntegrityProfile::crc32c : IntegrityProfile::none);
  const std::string path = temp_path("timestamped_" + param.label);
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {2}, param.with_crc);
  EXPECT_EQ(forms(file), (Blocks{{0x88, param.per_block}, {0x88, 1}}));
  const std::size_t record = 8 + *DataType(param.type).fixed_size();
  EXPECT_EQ(file.frames[0].payload.size(), 5 + param.per_block * record);
  // Records carry their timestamps in the order given, here decreasing.
  EXPECT_EQ(load_le<std::int64_t>(&file.frames[0].payload[5 + record]), 999);
  EXPECT_EQ(load_le<std::int64_t>(&file.frames[1].payload[5]),
            1000 - static_cast<std::int64_t>(param.per_block));
}

INSTANTIATE_TEST_SUITE_P(
    Budgets, TimestampedBlocks,
    testing::Values(
        TimestampedCase{"Double", DataTypeId::Double, add_timestamped<double>, false, 4095},
        TimestampedCase{"DoubleCrc", DataTypeId::Double, add_timestamped<double>, true, 4095},
        TimestampedCase{"Int64", DataTypeId::Int64, add_timestamped<std::int64_t>, false, 4095},
        TimestampedCase{"Float", DataTypeId::Float, add_timestamped<float>, false, 5460},
        TimestampedCase{"UInt32", DataTypeId::UInt32, add_timestamped<std::uint32_t>, false, 5460},
        TimestampedCase{"Int16", DataTypeId::Int16, add_timestamped<std::int16_t>, false, 6553},
        TimestampedCase{"Bool", DataTypeId::Bool, add_timestamped<bool>, false, 7281},
        TimestampedCase{"Int8Crc", DataTypeId::Int8, add_timestamped<std::int8_t>, true, 7280},
        TimestampedCase{"Gps", DataTypeId::GpsLocation, add_timestamped<GpsPoint>, false, 2047}),
    [](const auto& test) { return test.param.label; });

TEST(WriteFile, TimestampedFormIsAlwaysMultiAndEmptyWritesNothing) {
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("one", DataTypeId::UInt16)));
  ASSERT_TRUE(builder.add_channel(def("none", DataTypeId::UInt16)));
  const std::vector<std::int64_t> stamps{-3};
  const std::vector<std::uint16_t> values{0xBEEF};
  ASSERT_TRUE(builder.add_timestamped_samples<std::uint16_t>(0, stamps, values));
  ASSERT_TRUE(builder.add_timestamped_samples<std::uint16_t>(1, {}, {}));
  const std::string path = temp_path("timestamped_one");
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {2, 2}, false);
  ASSERT_EQ(file.frames.size(), 1u);
  EXPECT_EQ(file.frames[0].payload,
            (std::vector<std::uint8_t>{0x88, 1, 0, 0, 0, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xEF, 0xBE}));
}

TEST(WriteFile, VariableSamplesGetOneBlockEachInOrder) {
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("s", DataTypeId::String)));
  ASSERT_TRUE(builder.add_channel(def("b", DataTypeId::Binary)));
  const std::vector<std::int64_t> stamps{30, 10};
  const std::vector<std::string_view> texts{"ab", ""};
  const std::vector<std::uint8_t> raw{0, 0xFF, 7};
  const std::vector<std::span<const std::uint8_t>> blobs{raw};
  ASSERT_TRUE(builder.add_string_samples(0, stamps, texts));
  ASSERT_TRUE(builder.add_binary_samples(1, std::span(stamps).first(1), blobs));
  const std::string path = temp_path("variable");
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, {2, 2}, false);
  ASSERT_EQ(file.frames.size(), 3u);
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(file.frames[0].payload, (Bytes{0x08, 30, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}));
  EXPECT_EQ(file.frames[1].payload, (Bytes{0x08, 10, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(file.frames[2].channel, 1);
  EXPECT_EQ(file.frames[2].payload, (Bytes{0x08, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 7}));
}

struct BumpCase {
  std::string label;
  bool with_crc;
  std::size_t sample_bytes;
  std::uint8_t width;
};

class LengthFieldRaise : public testing::TestWithParam<BumpCase> {};

TEST_P(LengthFieldRaise, HappensExactlyWhenOneSampleNeedsIt) {
  const auto& param = GetParam();
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("s", DataTypeId::String)));
  const std::string text(param.sample_bytes, 'x');
  const std::vector<std::int64_t> stamps{1, 2};
  const std::vector<std::string_view> texts{"short", text};
  ASSERT_TRUE(builder.add_string_samples(0, stamps, texts));
  builder.set_integrity(param.with_crc ? IntegrityProfile::crc32c : IntegrityProfile::none);
  const std::string path = temp_path("raise_" + param.label);
  log::CapturingSink sink;
  {
    const log::ScopedSink scope(sink);
    ASSERT_TRUE(write(std::move(builder), path));
  }
  const auto file = parse_file(path, {param.width}, param.with_crc);
  EXPECT_NE(file.metablock.find("\"sizeoflengthvalue\": " + std::to_string(param.width)),
            std::string::npos);
  ASSERT_EQ(file.frames.size(), 2u);
  EXPECT_EQ(file.frames[1].payload.size(), 9 + param.sample_bytes);
  if (param.width == 2) {
    EXPECT_TRUE(sink.records.empty());
    return;
  }
  ASSERT_EQ(sink.records.size(), 1u);
  EXPECT_EQ(sink.records[0].level, log::Level::Debug);
  EXPECT_EQ(sink.records[0].target, "qel_core::writer");
  EXPECT_EQ(sink.records[0].message,
            "channel 0 \"s\": auto-bumping size_of_length_value 2 -> 4 (a single sample would "
            "need 65536 bytes)");
}

INSTANTIATE_TEST_SUITE_P(Boundary, LengthFieldRaise,
                         testing::Values(BumpCase{"FitsPlain", false, 65526, 2},
                                         BumpCase{"RaisedPlain", false, 65527, 4},
                                         BumpCase{"FitsCrc", true, 65522, 2},
                                         BumpCase{"RaisedCrc", true, 65523, 4}),
                         [](const auto& test) { return test.param.label; });

struct RefusalCase {
  std::string label;
  std::function<WriterBuilder()> make;
  std::string message;
};

WriterBuilder with_sample_at(std::size_t index, IntegrityProfile integrity) {
  WriterBuilder builder;
  for (std::size_t i = 0; i <= index; ++i) {
    EXPECT_TRUE(builder.add_channel(def("c", DataTypeId::String)));
  }
  const std::vector<std::int64_t> stamps{1};
  const std::vector<std::string_view> texts{"lost"};
  EXPECT_TRUE(builder.add_string_samples(static_cast<std::uint16_t>(index), stamps, texts));
  builder.set_integrity(integrity);
  return builder;
}

class RefusedWrite : public testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedWrite, LeavesAnExistingFileUntouched) {
  const std::string path = temp_path("refused_" + GetParam().label);
  std::ofstream(path) << "precious";
  const Status status = write(GetParam().make(), path);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), GetParam().message);
  const auto bytes = read_bytes(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    BeforeCreating, RefusedWrite,
    testing::Values(
        RefusalCase{"NoChannels", [] { return WriterBuilder(); },
                    "writer has no channels declared"},
        RefusalCase{"Ed25519",
                    [] {
                      WriterBuilder builder;
                      EXPECT_TRUE(builder.add_channel(def("x", DataTypeId::Double)));
                      builder.set_integrity(IntegrityProfile::ed25519);
                      return builder;
                    },
                    "invalid QEL block payload: this writer implements integrity level crc only; "
                    "signing (ed25519) is not supported"},
        RefusalCase{"InvalidUtf8Name",
                    [] {
                      WriterBuilder builder;
                      EXPECT_TRUE(builder.add_channel(def("\xFF", DataTypeId::Double)));
                      return builder;
                    },
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
  ASSERT_TRUE(write(std::move(builder), path));
  const auto file = parse_file(path, std::vector<std::uint8_t>(65536, 2), false);
  ASSERT_EQ(file.frames.size(), 1u);
  EXPECT_EQ(file.frames[0].channel, 65534);
}

TEST(WriteFile, CreateFailureIsAnIoError) {
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", DataTypeId::Double)));
  const Status status = write(std::move(builder), temp_path("missing/dir/file.qel"));
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message(), "I/O error: No such file or directory (os error 2)");
}

struct LimitCase {
  std::uint8_t width;
  bool with_crc;
  std::uint64_t payload;
  std::string message;  // empty: accepted
};

class BlockLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(BlockLimit, LengthMustFitTheField) {
  const auto& param = GetParam();
  auto out = OutputFile::create(temp_path("limit"));
  ASSERT_TRUE(out);
  BlockWriter blocks(*out, param.with_crc);
  const Status status = blocks.begin(9, param.width, param.payload);
  EXPECT_EQ(status ? std::string() : status.error().message(), param.message);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BlockLimit,
    testing::Values(
        LimitCase{2, false, 65535, ""},
        LimitCase{2, false, 65536,
                  "invalid QEL block payload: channel 9: block length 65536 bytes exceeds u16 "
                  "length field; increase size_of_length_value to 4"},
        LimitCase{2, true, 65531, ""},
        LimitCase{2, true, 65532,
                  "invalid QEL block payload: channel 9: block length 65536 bytes exceeds u16 "
                  "length field; increase size_of_length_value to 4"},
        LimitCase{4, false, 4294967295, ""},
        LimitCase{4, true, 4294967292,
                  "invalid QEL block payload: channel 9: block length 4294967296 bytes overflows "
                  "u32 length field"}));

}  // namespace
}  // namespace qel
