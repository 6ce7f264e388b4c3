#include "qel/data_channel.hpp"

#include "common/saturating.hpp"

namespace qel {
namespace {

template <std::size_t... I>
std::optional<NumericValues> values_for_index(std::size_t index, std::index_sequence<I...>) {
  std::optional<NumericValues> values;
  ((index == I ? (values.emplace(std::in_place_index<I>), 0) : 0), ...);
  return values;
}

}  // namespace

std::optional<NumericValues> make_numeric_values(const DataType& type) {
  std::size_t index = 0;
  if (type.is_numeric()) {
    index = static_cast<std::size_t>(type.id());
  } else if (type.id() == DataTypeId::GpsLocation) {
    index = kGpsValuesIndex;
  } else {
    return std::nullopt;
  }
  return values_for_index(index, std::make_index_sequence<std::variant_size_v<NumericValues>>{});
}

DataType data_type_of(const NumericValues& values) {
  if (values.index() == kGpsValuesIndex) return DataTypeId::GpsLocation;
  return static_cast<DataTypeId>(values.index());
}

std::size_t size_of(const NumericValues& values) {
  return std::visit([](const auto& array) { return array.size(); }, values);
}

std::int64_t sample_time(std::int64_t start_ns, double rate_hz, std::uint64_t j) noexcept {
  if (j == 0 || !(rate_hz > 0.0)) return start_ns;
  return saturating_add(start_ns, saturating_i64(static_cast<double>(j) * 1e9 / rate_hz));
}

void fill_sample_times(std::span<const Segment> segments, std::span<std::int64_t> out) noexcept {
  std::int64_t* next = out.data();
  for (const Segment& segment : segments) {
    for (std::uint64_t k = 0; k < segment.sample_count; ++k) {
      *next++ = sample_time(segment.start_timestamp_ns, segment.sample_rate_hz, k);
    }
  }
}

void shrink_to_fit(ChannelStorage& storage) noexcept {
  struct Shrink {
    static void values(NumericValues& v) {
      std::visit([](auto& array) { array.shrink_to_fit(); }, v);
    }
    void operator()(EquidistantStorage& s) const { values(s.values); }
    void operator()(TimestampedStorage& s) const {
      s.timestamps.shrink_to_fit();
      values(s.values);
    }
    void operator()(VariableChannel& v) const {
      v.timestamps.shrink_to_fit();
      if (v.strings) v.strings->shrink_to_fit();
      if (v.binaries) v.binaries->shrink_to_fit();
    }
  };
  std::visit(Shrink{}, storage);
}

std::uint64_t Channel::sample_count() const noexcept {
  struct Count {
    std::uint64_t operator()(const EquidistantStorage& s) const { return size_of(s.values); }
    std::uint64_t operator()(const TimestampedStorage& s) const { return size_of(s.values); }
    std::uint64_t operator()(const VariableChannel& v) const {
      if (v.strings) return v.strings->size();
      if (v.binaries) return v.binaries->size();
      return 0;
    }
  };
  return std::visit(Count{}, storage);
}

std::string_view Channel::storage_kind() const noexcept {
  static constexpr std::string_view kKinds[] = {"equidistant", "timestamped", "variable"};
  return kKinds[storage.index()];
}

Result<const ByteStringList*> Channel::as_strings() const {
  const auto* variable = std::get_if<VariableChannel>(&storage);
  if (variable == nullptr || !variable->strings) {
    return std::unexpected(Error::flat_access_mismatch(
        index, DataType(DataTypeId::String).display_name(), data_type.display_name()));
  }
  return &*variable->strings;
}

Result<const ByteStringList*> Channel::as_binaries() const {
  const auto* variable = std::get_if<VariableChannel>(&storage);
  if (variable == nullptr || !variable->binaries) {
    return std::unexpected(Error::flat_access_mismatch(
        index, DataType(DataTypeId::Binary).display_name(), data_type.display_name()));
  }
  return &*variable->binaries;
}

}  // namespace qel
