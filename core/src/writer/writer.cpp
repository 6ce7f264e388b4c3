#include "qel/writer.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

#include "common/utf8.hpp"

namespace qel {
namespace {

// Position of CowArray<T> among the alternatives of NumericValues.
template <class T, std::size_t I = 0>
constexpr std::size_t values_index() {
  if constexpr (std::is_same_v<std::variant_alternative_t<I, NumericValues>, CowArray<T>>) {
    return I;
  } else {
    return values_index<T, I + 1>();
  }
}

constexpr DataTypeId data_type_of_values_index(std::size_t index) {
  return index == kGpsValuesIndex ? DataTypeId::GpsLocation : static_cast<DataTypeId>(index);
}

Error length_mismatch(std::uint16_t channel, std::size_t timestamps, std::size_t values) {
  return Error::invalid_block_payload("channel " + std::to_string(channel) + ": timestamp len " +
                                      std::to_string(timestamps) + " != values len " +
                                      std::to_string(values));
}

bool is_float_or_double(const DataType& type) {
  return type.id() == DataTypeId::Float || type.id() == DataTypeId::Double;
}

// Readers refuse strings that are not UTF-8, so such a file would not load.
Status check_utf8(std::uint16_t channel, std::span<const std::string_view> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto invalid = validate_utf8(
        std::span(reinterpret_cast<const std::uint8_t*>(values[i].data()), values[i].size()));
    if (invalid) {
      return std::unexpected(Error::invalid_block_payload(
          "channel " + std::to_string(channel) + ": string sample " + std::to_string(i) +
          " is not valid UTF-8: " + describe(*invalid)));
    }
  }
  return {};
}

// The builder keeps its own copy of the caller's values.
template <class T>
NumericValues owned_values(std::span<const T> values) {
  CowArray<T> array;
  array.append(values);
  return NumericValues(std::move(array));
}

}  // namespace

WriterBuilder WriterBuilder::namespace_sep(std::string value) && {
  info_.namespace_sep = std::move(value);
  return std::move(*this);
}

WriterBuilder WriterBuilder::tag(std::string value) && {
  info_.tag = std::move(value);
  return std::move(*this);
}

WriterBuilder WriterBuilder::reason(std::string value) && {
  info_.reason = std::move(value);
  return std::move(*this);
}

WriterBuilder WriterBuilder::comment(std::string value) && {
  info_.comment = std::move(value);
  return std::move(*this);
}

WriterBuilder WriterBuilder::creator(std::string value) && {
  info_.creator = std::move(value);
  return std::move(*this);
}

void WriterBuilder::set_location(double latitude, double longitude, double altitude) {
  info_.latitude = latitude;
  info_.longitude = longitude;
  info_.altitude = altitude;
}

Result<std::uint16_t> WriterBuilder::add_channel(ChannelDef def) {
  const auto refuse = [&def](std::string_view reason) {
    return std::unexpected(
        Error::invalid_metablock("channel " + quoted(def.name) + ": " + std::string(reason)));
  };
  if (def.size_of_length_value != 2 && def.size_of_length_value != 4) {
    return refuse("size_of_length_value must be 2 or 4, got " +
                  std::to_string(def.size_of_length_value));
  }
  if (def.data_type.id() == DataTypeId::Unsupported) {
    return refuse("data type Unsupported(_) cannot be written");
  }
  if (def.data_type.id() == DataTypeId::ByteArray) {
    return refuse("bytearray is a read-side alias; writers must declare data type as Binary");
  }
  if (def.channel_type.id() == ChannelTypeId::Other) {
    return refuse("channel type Unsupported(_) cannot be written");
  }
  if (channels_.size() >= kMaxChannels) {
    return std::unexpected(Error::invalid_metablock("writer reached the 65536 channel limit"));
  }
  const auto index = static_cast<std::uint16_t>(channels_.size());
  channels_.push_back(std::move(def));
  data_.emplace_back(EmptyData{});
  return index;
}

Result<ChannelDef*> WriterBuilder::declared(std::uint16_t channel) {
  if (channel >= channels_.size()) {
    return std::unexpected(Error::channel_not_found("(index " + std::to_string(channel) + ")"));
  }
  return &channels_[channel];
}

Status WriterBuilder::add_equidistant_segment_f32(std::uint16_t channel, std::int64_t start_ns,
                                                  std::span<const float> values,
                                                  double sample_rate_hz) {
  return add_equidistant_segment_inner(channel, DataTypeId::Float, start_ns, owned_values(values),
                                       sample_rate_hz);
}

Status WriterBuilder::add_equidistant_segment_f64(std::uint16_t channel, std::int64_t start_ns,
                                                  std::span<const double> values,
                                                  double sample_rate_hz) {
  return add_equidistant_segment_inner(channel, DataTypeId::Double, start_ns, owned_values(values),
                                       sample_rate_hz);
}

Status WriterBuilder::add_equidistant_segment_inner(std::uint16_t channel, DataType values_type,
                                                    std::int64_t start_ns, NumericValues values,
                                                    double sample_rate_hz) {
  QEL_ASSIGN_OR_RETURN(const ChannelDef* def, declared(channel));
  const std::string prefix = "channel " + std::to_string(channel) + ": ";
  if (!is_float_or_double(def->data_type)) {
    return std::unexpected(Error::invalid_block_payload(
        prefix +
        "equidistant blocks support only float and double per spec rev 2026-05-04 (channel "
        "declares " +
        def->data_type.display_name() + ")"));
  }
  if (values_type != def->data_type) {
    return std::unexpected(Error::data_type_mismatch(channel, def->data_type.display_name(),
                                                     values_type.display_name()));
  }
  if (!(sample_rate_hz > 0)) {
    return std::unexpected(Error::invalid_block_payload(
        prefix + "equidistant sample_rate_hz must be > 0, got " + format_rate(sample_rate_hz)));
  }
  ChannelData& data = data_[channel];
  if (std::holds_alternative<EmptyData>(data)) {
    data = EquidistantData{};
  } else if (!std::holds_alternative<EquidistantData>(data)) {
    return std::unexpected(Error::mixed_storage(channel));
  }
  std::get<EquidistantData>(data).segments.push_back({std::move(values), start_ns, sample_rate_hz});
  return {};
}

template <class T>
Status WriterBuilder::add_timestamped_samples(std::uint16_t channel,
                                              std::span<const std::int64_t> timestamps,
                                              std::span<const T> values) {
  constexpr std::size_t kIndex = values_index<T>();
  const DataType required = data_type_of_values_index(kIndex);
  QEL_ASSIGN_OR_RETURN(const ChannelDef* def, declared(channel));
  if (def->data_type != required) {
    return std::unexpected(
        Error::data_type_mismatch(channel, def->data_type.display_name(), required.display_name()));
  }
  if (timestamps.size() != values.size()) {
    return std::unexpected(length_mismatch(channel, timestamps.size(), values.size()));
  }
  ChannelData& data = data_[channel];
  if (std::holds_alternative<EmptyData>(data)) {
    data = TimestampedData{{}, NumericValues(std::in_place_index<kIndex>)};
  } else if (!std::holds_alternative<TimestampedData>(data)) {
    return std::unexpected(Error::mixed_storage(channel));
  }
  auto& stored = std::get<TimestampedData>(data);
  stored.timestamps.append(timestamps);
  std::get<kIndex>(stored.values).append(values);
  return {};
}

#define QEL_INSTANTIATE_TIMESTAMPED(T)                       \
  template Status WriterBuilder::add_timestamped_samples<T>( \
      std::uint16_t, std::span<const std::int64_t>, std::span<const T>);
QEL_INSTANTIATE_TIMESTAMPED(bool)
QEL_INSTANTIATE_TIMESTAMPED(std::int8_t)
QEL_INSTANTIATE_TIMESTAMPED(std::int16_t)
QEL_INSTANTIATE_TIMESTAMPED(std::int32_t)
QEL_INSTANTIATE_TIMESTAMPED(std::int64_t)
QEL_INSTANTIATE_TIMESTAMPED(std::uint8_t)
QEL_INSTANTIATE_TIMESTAMPED(std::uint16_t)
QEL_INSTANTIATE_TIMESTAMPED(std::uint32_t)
QEL_INSTANTIATE_TIMESTAMPED(std::uint64_t)
QEL_INSTANTIATE_TIMESTAMPED(float)
QEL_INSTANTIATE_TIMESTAMPED(double)
QEL_INSTANTIATE_TIMESTAMPED(GpsPoint)
#undef QEL_INSTANTIATE_TIMESTAMPED

Status WriterBuilder::add_string_samples(std::uint16_t channel,
                                         std::span<const std::int64_t> timestamps,
                                         std::span<const std::string_view> values) {
  return add_variable_samples(channel, DataTypeId::String, timestamps, values);
}

Status WriterBuilder::add_binary_samples(std::uint16_t channel,
                                         std::span<const std::int64_t> timestamps,
                                         std::span<const std::span<const std::uint8_t>> values) {
  return add_variable_samples(channel, DataTypeId::Binary, timestamps, values);
}

template <class V>
Status WriterBuilder::add_variable_samples(std::uint16_t channel, DataTypeId type,
                                           std::span<const std::int64_t> timestamps,
                                           std::span<const V> values) {
  QEL_ASSIGN_OR_RETURN(const ChannelDef* def, declared(channel));
  if (def->data_type.id() != type) {
    return std::unexpected(Error::data_type_mismatch(channel, def->data_type.display_name(),
                                                     DataType(type).display_name()));
  }
  if (timestamps.size() != values.size()) {
    return std::unexpected(length_mismatch(channel, timestamps.size(), values.size()));
  }
  ChannelData& data = data_[channel];
  if (!std::holds_alternative<EmptyData>(data) && !std::holds_alternative<VariableChannel>(data)) {
    return std::unexpected(Error::mixed_storage(channel));
  }
  if constexpr (std::is_same_v<V, std::string_view>) QEL_TRY(check_utf8(channel, values));
  if (std::holds_alternative<EmptyData>(data)) {
    VariableChannel fresh;
    (type == DataTypeId::String ? fresh.strings : fresh.binaries).emplace();
    data = std::move(fresh);
  }
  auto& stored = std::get<VariableChannel>(data);
  ByteStringList& list = type == DataTypeId::String ? *stored.strings : *stored.binaries;
  stored.timestamps.append(timestamps);
  for (const V& value : values) list.append(value);
  return {};
}

}  // namespace qel
