#include "qel/writer.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

#include "common/allocation_guard.hpp"
#include "writer/sample_checks.hpp"
#include "writer/timestamped_types.hpp"

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

// What the builder holds for a channel so far; a channel that does not exist
// is refused by the checks.
StorageKind kind_at(const std::vector<ChannelData>& data, std::uint16_t channel) noexcept {
  constexpr StorageKind kKinds[] = {StorageKind::empty, StorageKind::equidistant,
                                    StorageKind::timestamped, StorageKind::variable};
  return channel < data.size() ? kKinds[data[channel].index()] : StorageKind::empty;
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
  return failed_allocation_as_error([&]() -> Result<std::uint16_t> {
    QEL_TRY(check_channel_def(def, channels_.size()));
    const auto index = static_cast<std::uint16_t>(channels_.size());
    channels_.push_back(std::move(def));
    data_.emplace_back(EmptyData{});
    return index;
  });
}

Status WriterBuilder::add_equidistant_segment_f32(std::uint16_t channel, std::int64_t start_ns,
                                                  std::span<const float> values,
                                                  double sample_rate_hz) {
  return failed_allocation_as_error([&]() -> Status {
    return add_equidistant_segment_inner(channel, DataTypeId::Float, start_ns, owned_values(values),
                                         sample_rate_hz);
  });
}

Status WriterBuilder::add_equidistant_segment_f64(std::uint16_t channel, std::int64_t start_ns,
                                                  std::span<const double> values,
                                                  double sample_rate_hz) {
  return failed_allocation_as_error([&]() -> Status {
    return add_equidistant_segment_inner(channel, DataTypeId::Double, start_ns,
                                         owned_values(values), sample_rate_hz);
  });
}

Status WriterBuilder::add_equidistant_segment_inner(std::uint16_t channel, DataType values_type,
                                                    std::int64_t start_ns, NumericValues values,
                                                    double sample_rate_hz) {
  QEL_TRY(check_equidistant(channels_, channel, values_type.id(), sample_rate_hz,
                            kind_at(data_, channel)));
  ChannelData& data = data_[channel];
  if (std::holds_alternative<EmptyData>(data)) data = EquidistantData{};
  std::get<EquidistantData>(data).segments.push_back({std::move(values), start_ns, sample_rate_hz});
  return {};
}

template <class T>
Status WriterBuilder::add_timestamped_samples(std::uint16_t channel,
                                              std::span<const std::int64_t> timestamps,
                                              std::span<const T> values) {
  return failed_allocation_as_error([&]() -> Status {
    constexpr std::size_t kIndex = values_index<T>();
    QEL_TRY(check_timestamped(channels_, channel, data_type_of_element<T>(), timestamps.size(),
                              values.size(), kind_at(data_, channel)));
    ChannelData& data = data_[channel];
    if (std::holds_alternative<EmptyData>(data)) {
      data = TimestampedData{{}, NumericValues(std::in_place_index<kIndex>)};
    }
    auto& stored = std::get<TimestampedData>(data);
    stored.timestamps.append(timestamps);
    std::get<kIndex>(stored.values).append(values);
    return {};
  });
}

#define QEL_INSTANTIATE_TIMESTAMPED(T)                       \
  template Status WriterBuilder::add_timestamped_samples<T>( \
      std::uint16_t, std::span<const std::int64_t>, std::span<const T>);
QEL_FOR_EACH_TIMESTAMPED_TYPE(QEL_INSTANTIATE_TIMESTAMPED)
#undef QEL_INSTANTIATE_TIMESTAMPED

Status WriterBuilder::add_string_samples(std::uint16_t channel,
                                         std::span<const std::int64_t> timestamps,
                                         std::span<const std::string_view> values) {
  return failed_allocation_as_error([&]() -> Status {
    return add_variable_samples(channel, DataTypeId::String, timestamps, values);
  });
}

Status WriterBuilder::add_binary_samples(std::uint16_t channel,
                                         std::span<const std::int64_t> timestamps,
                                         std::span<const std::span<const std::uint8_t>> values) {
  return failed_allocation_as_error([&]() -> Status {
    return add_variable_samples(channel, DataTypeId::Binary, timestamps, values);
  });
}

template <class V>
Status WriterBuilder::add_variable_samples(std::uint16_t channel, DataTypeId type,
                                           std::span<const std::int64_t> timestamps,
                                           std::span<const V> values) {
  QEL_TRY(check_variable(channels_, channel, type, timestamps.size(), values.size(),
                         kind_at(data_, channel)));
  if constexpr (std::is_same_v<V, std::string_view>) QEL_TRY(check_utf8(channel, values));
  ChannelData& data = data_[channel];
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
