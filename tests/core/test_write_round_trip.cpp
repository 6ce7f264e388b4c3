// Write then load, for what the randomised Python round trips cannot reach:
// runs long enough to span several blocks, and every optional definition field.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

ChannelDef def(std::string name, DataTypeId type, std::uint8_t width = 2) {
  ChannelDef out;
  out.name = std::move(name);
  out.data_type = type;
  out.size_of_length_value = width;
  return out;
}

DataManager write_and_load(WriterBuilder builder, const std::string& name) {
  const std::string path = testing::TempDir() + "qel_trip_" + name;
  const Status written = write_to_file(std::move(builder), path);
  EXPECT_TRUE(written) << written.error().message();
  auto loaded = DataManager::load_from_file(path);
  EXPECT_TRUE(loaded) << loaded.error().message();
  return std::move(*loaded);
}

template <class T>
bool same_bytes(std::span<const T> a, std::span<const T> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size_bytes()) == 0);
}

TEST(WriteRoundTrip, RunsSpanningSeveralBlocksReadBack) {
  constexpr std::size_t kCount = 20000;  // several blocks of either form
  std::vector<double> values(kCount);
  std::vector<GpsPoint> points(kCount);
  std::vector<std::int64_t> stamps(kCount);
  for (std::size_t i = 0; i < kCount; ++i) {
    values[i] = static_cast<double>(i * 37 + 11);
    points[i] = {0.5 * static_cast<double>(i), -1.0, 1e300};
    stamps[i] = 5 - static_cast<std::int64_t>(i);
  }
  for (const auto integrity : {IntegrityProfile::none, IntegrityProfile::crc32c}) {
    WriterBuilder builder;
    ASSERT_TRUE(builder.add_channel(def("eq", DataTypeId::Double)));
    ASSERT_TRUE(builder.add_channel(def("gps", DataTypeId::GpsLocation)));
    ASSERT_TRUE(builder.add_equidistant_segment_f64(0, -1500, values, 100.0));
    ASSERT_TRUE(builder.add_equidistant_segment_f64(0, 7, std::span(values).first(1), 50.0));
    ASSERT_TRUE(builder.add_timestamped_samples<GpsPoint>(1, stamps, points));
    builder.set_integrity(integrity);
    const DataManager loaded =
        write_and_load(std::move(builder), "multi_" + std::string(to_string(integrity)));
    const auto& eq = std::get<EquidistantStorage>(loaded.channels().at(0).storage);
    ASSERT_EQ(eq.segments.size(), 2u);  // the blocks of one segment join again
    EXPECT_EQ(eq.segments[0].sample_count, kCount);
    EXPECT_EQ(eq.segments[1].offset, kCount);
    EXPECT_EQ(eq.segments[1].start_timestamp_ns, 7);
    EXPECT_TRUE(same_bytes(std::get<CowArray<double>>(eq.values).view().first(kCount),
                           std::span<const double>(values)));
    const auto& gps = std::get<TimestampedStorage>(loaded.channels().at(1).storage);
    EXPECT_TRUE(same_bytes(gps.timestamps.view(), std::span<const std::int64_t>(stamps)));
    EXPECT_TRUE(same_bytes(std::get<CowArray<GpsPoint>>(gps.values).view(),
                           std::span<const GpsPoint>(points)));
    EXPECT_EQ(loaded.stats().blocks_crc_failed, 0u);
  }
}

TEST(WriteRoundTrip, DefinitionsAndFileInformationReadBack) {
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
