#include <string>
#include <string_view>
#include <vector>

#include "common/allocation_guard.hpp"
#include "qel/manager.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

ChannelDef def_of(const Channel& channel) {
  const ChannelMeta& meta = channel.meta;
  ChannelDef def;
  def.name = channel.name;
  def.data_type = channel.data_type;
  def.channel_type = meta.channel_type;
  def.physical_unit = meta.physical_unit;
  def.physical_dimension = meta.physical_dimension;
  def.display_name = meta.display_name;
  def.mime_type = meta.mime_type;
  def.reference = meta.reference;
  def.comment = meta.comment;
  def.size_of_length_value = meta.size_of_length_value;
  def.time_increment_ns = meta.time_increment_ns;
  def.spectrum_type = meta.spectrum_type;
  return def;
}

Status add_segments(WriterBuilder& builder, std::uint16_t index,
                    const EquidistantStorage& storage) {
  if (storage.segments.empty()) return {};
  for (const Segment& segment : storage.segments) {
    const auto offset = static_cast<std::size_t>(segment.offset);
    const auto count = static_cast<std::size_t>(segment.sample_count);
    Status added;
    if (const auto* f64 = std::get_if<CowArray<double>>(&storage.values)) {
      added = builder.add_equidistant_segment_f64(index, segment.start_timestamp_ns,
                                                  f64->view().subspan(offset, count),
                                                  segment.sample_rate_hz);
    } else if (const auto* f32 = std::get_if<CowArray<float>>(&storage.values)) {
      added = builder.add_equidistant_segment_f32(index, segment.start_timestamp_ns,
                                                  f32->view().subspan(offset, count),
                                                  segment.sample_rate_hz);
    } else {
      return std::unexpected(Error::invalid_block_payload(
          "channel " + std::to_string(index) + ": equidistant data type " +
          data_type_of(storage.values).display_name() + " is not float or double"));
    }
    QEL_TRY(added);
  }
  return {};
}

Status add_timestamped(WriterBuilder& builder, std::uint16_t index,
                       const TimestampedStorage& storage) {
  return std::visit(
      [&](const auto& values) {
        using T = std::remove_cvref_t<decltype(values[0])>;
        return builder.add_timestamped_samples<T>(index, storage.timestamps.view(), values.view());
      },
      storage.values);
}

Status add_variable(WriterBuilder& builder, std::uint16_t index, const VariableChannel& storage) {
  if (storage.strings) {
    std::vector<std::string_view> texts(storage.strings->size());
    for (std::size_t i = 0; i < texts.size(); ++i) texts[i] = storage.strings->text(i);
    return builder.add_string_samples(index, storage.timestamps.view(), texts);
  }
  if (storage.binaries) {
    std::vector<std::span<const std::uint8_t>> blobs(storage.binaries->size());
    for (std::size_t i = 0; i < blobs.size(); ++i) blobs[i] = (*storage.binaries)[i];
    return builder.add_binary_samples(index, storage.timestamps.view(), blobs);
  }
  return {};
}

Status add_samples(WriterBuilder& builder, std::uint16_t index, const ChannelStorage& storage) {
  if (const auto* equidistant = std::get_if<EquidistantStorage>(&storage)) {
    return add_segments(builder, index, *equidistant);
  }
  if (const auto* timestamped = std::get_if<TimestampedStorage>(&storage)) {
    return add_timestamped(builder, index, *timestamped);
  }
  return add_variable(builder, index, std::get<VariableChannel>(storage));
}

}  // namespace

Result<WriterBuilder> WriterBuilder::from_manager(const DataManager& manager) {
  return failed_allocation_as_error([&]() -> Result<WriterBuilder> {
    const FileInfo& file = manager.meta().file;
    WriterBuilder builder;
    builder.info_.creator = file.creator;
    builder.info_.tag = file.tag;
    builder.info_.reason = file.reason;
    builder.info_.namespace_sep = file.namespacesep;
    builder.info_.comment = file.comment;
    builder.info_.latitude = file.created_at_latitude;
    builder.info_.longitude = file.created_at_longitude;
    builder.info_.altitude = file.created_at_altitude;
    for (const Channel& channel : manager.channels()) {
      QEL_ASSIGN_OR_RETURN(const std::uint16_t index, builder.add_channel(def_of(channel)));
      QEL_TRY(add_samples(builder, index, channel.storage));
    }
    return builder;
  });
}

}  // namespace qel
