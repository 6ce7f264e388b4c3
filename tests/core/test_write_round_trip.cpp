#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "qel_trip_" + name;
}

ChannelDef def(std::string name, DataTypeId type, std::uint8_t width = 2) {
  ChannelDef out;
  out.name = std::move(name);
  out.data_type = type;
  out.size_of_length_value = width;
  return out;
}

DataManager write_and_load(WriterBuilder builder, const std::string& name) {
  const std::string path = temp_path(name);
  const Status written = write_to_file(std::move(builder), path);
  EXPECT_TRUE(written) << written.error().message();
  auto loaded = DataManager::load_from_file(path);
  EXPECT_TRUE(loaded) << loaded.error().message();
  return std::move(*loaded);
}

// A CowArray rather than a vector, which has no contiguous bool storage.
template <class T>
CowArray<T> sample_values(std::size_t count) {
  CowArray<T> array;
  T* out = array.extend(count);
  for (std::size_t i = 0; i < count; ++i) {
    if constexpr (std::is_same_v<T, GpsPoint>) {
      out[i] = {0.5 * static_cast<double>(i), -1.0, 1e300};
    } else if constexpr (std::is_same_v<T, bool>) {
      out[i] = i % 3 == 0;
    } else {
      out[i] = static_cast<T>(i * 37 + 11);
    }
  }
  return array;
}

template <class T>
bool same_bytes(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

template <class T>
class TimestampedTrip : public testing::Test {};
using Elements =
    testing::Types<bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
                   std::uint16_t, std::uint32_t, std::uint64_t, float, double, GpsPoint>;
TYPED_TEST_SUITE(TimestampedTrip, Elements);

TYPED_TEST(TimestampedTrip, EveryTypeReadsBackWithAndWithoutCrc) {
  const DataType type = data_type_of(NumericValues(CowArray<TypeParam>()));
  // Enough samples for more than one block of every type.
  constexpr std::size_t kCount = 7300;
  const auto values = sample_values<TypeParam>(kCount);
  std::vector<std::int64_t> stamps(kCount);
  for (std::size_t i = 0; i < kCount; ++i) stamps[i] = 5 - static_cast<std::int64_t>(i);
  for (const auto integrity : {IntegrityProfile::none, IntegrityProfile::crc32c}) {
    WriterBuilder builder;
    ASSERT_TRUE(builder.add_channel(def("x", type.id())));
    ASSERT_TRUE(builder.template add_timestamped_samples<TypeParam>(0, stamps, values.view()));
    builder.set_integrity(integrity);
    const DataManager loaded = write_and_load(
        std::move(builder), "ts_" + type.display_name() + "_" + std::string(to_string(integrity)));
    ASSERT_EQ(loaded.channels().size(), 1u);
    const Channel& channel = loaded.channels()[0];
    EXPECT_EQ(channel.data_type, type);
    const auto& storage = std::get<TimestampedStorage>(channel.storage);
    EXPECT_TRUE(same_bytes(storage.timestamps.view(), std::span<const std::int64_t>(stamps)));
    EXPECT_TRUE(same_bytes(std::get<CowArray<TypeParam>>(storage.values).view(), values.view()));
    EXPECT_EQ(loaded.stats().blocks_crc_failed, 0u);
  }
}

struct SegmentTripCase {
  std::string label;
  DataTypeId type;
  std::uint8_t width;
  IntegrityProfile integrity;
};

class SegmentTrip : public testing::TestWithParam<SegmentTripCase> {};

TEST_P(SegmentTrip, SegmentsKeepStartRateAndValues) {
  const auto& param = GetParam();
  const std::vector<std::size_t> sizes{20000, 0, 1, 2};
  WriterBuilder builder;
  ASSERT_TRUE(builder.add_channel(def("x", param.type, param.width)));
  const auto f64 = sample_values<double>(20000);
  const auto f32 = sample_values<float>(20000);
  for (std::size_t s = 0; s < sizes.size(); ++s) {
    const auto start = static_cast<std::int64_t>(s) * 1000 - 1500;
    const double rate = 100.0 * static_cast<double>(s + 1);
    ASSERT_TRUE(
        param.type == DataTypeId::Float
            ? builder.add_equidistant_segment_f32(0, start, f32.view().first(sizes[s]), rate)
            : builder.add_equidistant_segment_f64(0, start, f64.view().first(sizes[s]), rate));
  }
  builder.set_integrity(param.integrity);
  const DataManager loaded = write_and_load(std::move(builder), "segments_" + param.label);
  const auto& storage = std::get<EquidistantStorage>(loaded.channels().at(0).storage);
  ASSERT_EQ(storage.segments.size(), sizes.size());
  std::uint64_t offset = 0;
  for (std::size_t s = 0; s < sizes.size(); ++s) {
    EXPECT_EQ(storage.segments[s].start_timestamp_ns, static_cast<std::int64_t>(s) * 1000 - 1500);
    EXPECT_EQ(storage.segments[s].sample_rate_hz, 100.0 * static_cast<double>(s + 1));
    EXPECT_EQ(storage.segments[s].offset, offset);
    EXPECT_EQ(storage.segments[s].sample_count, sizes[s]);
    offset += sizes[s];
  }
  if (param.type == DataTypeId::Float) {
    EXPECT_TRUE(
        same_bytes(std::get<CowArray<float>>(storage.values).view().first(20000), f32.view()));
  } else {
    EXPECT_TRUE(
        same_bytes(std::get<CowArray<double>>(storage.values).view().first(20000), f64.view()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SegmentTrip,
    testing::Values(SegmentTripCase{"Double2", DataTypeId::Double, 2, IntegrityProfile::none},
                    SegmentTripCase{"Double2Crc", DataTypeId::Double, 2, IntegrityProfile::crc32c},
                    SegmentTripCase{"Double4Crc", DataTypeId::Double, 4, IntegrityProfile::crc32c},
                    SegmentTripCase{"Float2", DataTypeId::Float, 2, IntegrityProfile::none},
                    SegmentTripCase{"Float4", DataTypeId::Float, 4, IntegrityProfile::none}),
    [](const auto& test) { return test.param.label; });

TEST(VariableTrip, StringsAndBinariesIncludingARaisedChannel) {
  for (const auto integrity : {IntegrityProfile::none, IntegrityProfile::crc32c}) {
    WriterBuilder builder;
    ASSERT_TRUE(builder.add_channel(def("s", DataTypeId::String)));
    ASSERT_TRUE(builder.add_channel(def("b", DataTypeId::Binary)));
    const std::string long_text(70000, 'z');
    const std::vector<std::string_view> texts{"", "gr\xC3\xBC\xC3\x9F", long_text};
    const std::vector<std::int64_t> stamps{3, -1, 2};
    const std::vector<std::uint8_t> raw{0, 0, 255};
    const std::vector<std::span<const std::uint8_t>> blobs{raw, {}};
    ASSERT_TRUE(builder.add_string_samples(0, stamps, texts));
    ASSERT_TRUE(builder.add_binary_samples(1, std::span(stamps).first(2), blobs));
    builder.set_integrity(integrity);
    const DataManager loaded =
        write_and_load(std::move(builder), "variable_" + std::string(to_string(integrity)));
    const Channel& strings = loaded.channels().at(0);
    EXPECT_EQ(strings.meta.size_of_length_value, 4);
    const auto* texts_back = *strings.as_strings();
    ASSERT_EQ(texts_back->size(), 3u);
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts_back->text(i), texts[i]);
    const auto& variable = std::get<VariableChannel>(strings.storage);
    EXPECT_TRUE(same_bytes(variable.timestamps.view(), std::span<const std::int64_t>(stamps)));
    const auto* blobs_back = *loaded.channels().at(1).as_binaries();
    ASSERT_EQ(blobs_back->size(), 2u);
    EXPECT_TRUE(same_bytes((*blobs_back)[0], std::span<const std::uint8_t>(raw)));
    EXPECT_TRUE((*blobs_back)[1].empty());
  }
}

TEST(MetaTrip, DefinitionsAndFileInformationReadBack) {
  WriterBuilder builder =
      WriterBuilder().namespace_sep("/").tag("run").reason("why").comment("").creator("tool");
  builder.set_location(48.0, 1e-7, -3.5);
  ChannelDef full = def("a/b \"q\"", DataTypeId::UInt64, 4);
  full.channel_type = ChannelTypeId::Vector;
  full.physical_unit = "m";
  full.physical_dimension = "length";
  full.display_name = "A";
  full.mime_type = "text/plain";
  full.reference = "ref";
  full.comment = "c\n";
  full.time_increment_ns = -5;
  full.spectrum_type = SpectrumType::RealImag;
  ASSERT_TRUE(builder.add_channel(full));
  const DataManager loaded = write_and_load(std::move(builder), "meta");
  const FileInfo& file = loaded.meta().file;
  EXPECT_EQ(file.namespacesep, "/");
  EXPECT_EQ(file.tag, "run");
  EXPECT_EQ(file.reason, "why");
  EXPECT_EQ(file.comment, "");
  EXPECT_EQ(file.creator, "tool");
  EXPECT_EQ(file.created_at_latitude, 48.0);
  EXPECT_EQ(file.created_at_longitude, 1e-7);
  EXPECT_EQ(file.created_at_altitude, -3.5);
  const Channel& channel = loaded.channels().at(0);
  EXPECT_EQ(channel.name, full.name);
  EXPECT_EQ(channel.data_type, full.data_type);
  EXPECT_EQ(channel.meta.channel_type, full.channel_type);
  EXPECT_EQ(channel.meta.physical_unit, full.physical_unit);
  EXPECT_EQ(channel.meta.physical_dimension, full.physical_dimension);
  EXPECT_EQ(channel.meta.display_name, full.display_name);
  EXPECT_EQ(channel.meta.mime_type, full.mime_type);
  EXPECT_EQ(channel.meta.reference, full.reference);
  EXPECT_EQ(channel.meta.comment, full.comment);
  EXPECT_EQ(channel.meta.size_of_length_value, 4);
  EXPECT_EQ(channel.meta.time_increment_ns, -5);
  EXPECT_EQ(channel.meta.spectrum_type, SpectrumType::RealImag);
}

}  // namespace
}  // namespace qel
