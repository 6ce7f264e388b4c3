// Every optional definition and file field: written, read back, and carried
// over when the loaded file is saved again. The randomised Python round trips
// draw only names, data types and units; runs that span several blocks are
// read back in test_write_file.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

DataManager write_and_load(WriterBuilder builder, const std::string& name) {
  const std::string path = testing::TempDir() + "qel_trip_" + name;
  const Status written = write_to_file(std::move(builder), path);
  EXPECT_TRUE(written) << written.error().message();
  auto loaded = DataManager::load_from_file(path);
  EXPECT_TRUE(loaded) << loaded.error().message();
  return std::move(*loaded);
}

auto fields(const FileInfo& f) {
  return std::tie(f.creator, f.reason, f.tag, f.comment, f.namespacesep, f.created_at_latitude,
                  f.created_at_longitude, f.created_at_altitude);
}

auto fields(const std::string& name, const DataType& type, const auto& m) {
  return std::tie(name, type, m.channel_type, m.physical_unit, m.physical_dimension, m.display_name,
                  m.mime_type, m.reference, m.comment, m.size_of_length_value, m.time_increment_ns,
                  m.spectrum_type);
}

TEST(WriteRoundTrip, DefinitionsAndFileInformationSurviveWriteAndResave) {
  WriterBuilder builder =
      WriterBuilder().namespace_sep("/").tag("run").reason("why").comment("").creator("tool");
  builder.set_location(48.0, 1e-7, -3.5);
  const FileInfo file{{}, "tool", "why", "run", "", "/", 48.0, 1e-7, -3.5};
  ChannelDef full;
  full.name = "a/b \"q\"";
  full.data_type = DataTypeId::UInt64;
  full.channel_type = ChannelTypeId::Vector;
  full.physical_unit = "m";
  full.physical_dimension = "length";
  full.display_name = "A";
  full.mime_type = "text/plain";
  full.reference = "ref";
  full.comment = "c\n";
  full.size_of_length_value = 4;
  full.time_increment_ns = -5;
  full.spectrum_type = SpectrumType::RealImag;
  ASSERT_TRUE(builder.add_channel(full));
  const DataManager written = write_and_load(std::move(builder), "written");
  auto again = WriterBuilder::from_manager(written);
  ASSERT_TRUE(again) << again.error().message();
  const DataManager resaved = write_and_load(std::move(*again), "resaved");
  for (const DataManager* loaded : {&written, &resaved}) {
    EXPECT_EQ(fields(loaded->meta().file), fields(file));
    const Channel& channel = loaded->channels().at(0);
    EXPECT_EQ(fields(channel.name, channel.data_type, channel.meta),
              fields(full.name, full.data_type, full));
  }
}

}  // namespace
}  // namespace qel
