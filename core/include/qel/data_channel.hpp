#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qel/cow_array.hpp"
#include "qel/error.hpp"
#include "qel/types.hpp"

namespace qel {

struct GpsPoint {
  double latitude;
  double longitude;
  double altitude;
};
static_assert(sizeof(GpsPoint) == 24);

// Typed sample arrays; alternative k corresponds to DataTypeId k for the
// eleven numeric types, the last one to GpsLocation.
using NumericValues =
    std::variant<CowArray<bool>, CowArray<std::int8_t>, CowArray<std::int16_t>,
                 CowArray<std::int32_t>, CowArray<std::int64_t>, CowArray<std::uint8_t>,
                 CowArray<std::uint16_t>, CowArray<std::uint32_t>, CowArray<std::uint64_t>,
                 CowArray<float>, CowArray<double>, CowArray<GpsPoint>>;

inline constexpr std::size_t kGpsValuesIndex = 11;

// Empty values of the variant for `type`; absent for string, binary and
// unsupported types.
std::optional<NumericValues> make_numeric_values(const DataType& type);
DataType data_type_of(const NumericValues& values);
std::size_t size_of(const NumericValues& values);

// A list of byte strings stored end to end in one buffer.
class ByteStringList {
 public:
  std::size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  std::span<const std::uint8_t> operator[](std::size_t i) const noexcept {
    const std::uint64_t begin = i == 0 ? 0 : ends_[i - 1];
    return {bytes_.data() + begin, static_cast<std::size_t>(ends_[i] - begin)};
  }
  std::string_view text(std::size_t i) const noexcept {
    const auto bytes = (*this)[i];
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
  }
  // All elements' bytes, end to end.
  std::span<const std::uint8_t> joined() const noexcept { return bytes_.view(); }
  void append(std::span<const std::uint8_t> value) {
    bytes_.append(value);
    ends_.push_back(bytes_.size());
  }
  void shrink_to_fit() noexcept {
    bytes_.shrink_to_fit();
    ends_.shrink_to_fit();
  }
  void append(std::string_view value) {
    append(std::span(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
  }

 private:
  CowArray<std::uint8_t> bytes_;
  CowArray<std::uint64_t> ends_;
};

// One equidistant run.
struct Segment {
  std::int64_t start_timestamp_ns = 0;
  double sample_rate_hz = 0.0;
  std::uint64_t offset = 0;
  std::uint64_t sample_count = 0;
};

// Time of sample j of a run: start + trunc(j * 1e9 / rate), saturating; the
// start itself when the rate is not greater than 0.
std::int64_t sample_time(std::int64_t start_ns, double rate_hz, std::uint64_t j) noexcept;
// The time of every sample of the runs, in order; `out` holds as many values
// as the runs have samples.
void fill_sample_times(std::span<const Segment> segments, std::span<std::int64_t> out) noexcept;

struct VariableChannel {
  CowArray<std::int64_t> timestamps;
  std::optional<ByteStringList> strings;   // present for String channels
  std::optional<ByteStringList> binaries;  // present for Binary channels
};

struct ChannelMeta {
  ChannelType channel_type;
  std::optional<std::string> physical_unit;
  std::optional<std::string> physical_dimension;
  std::optional<std::string> display_name;
  std::optional<std::string> mime_type;
  std::optional<std::string> reference;
  std::optional<std::string> comment;
  std::uint8_t size_of_length_value = 2;
  std::optional<std::int64_t> time_increment_ns;
  std::optional<SpectrumType> spectrum_type;
};

struct EquidistantStorage {
  NumericValues values;
  std::vector<Segment> segments;
};

struct TimestampedStorage {
  CowArray<std::int64_t> timestamps;
  NumericValues values;
};

using ChannelStorage = std::variant<EquidistantStorage, TimestampedStorage, VariableChannel>;

// Gives back the capacity the arrays of a finished channel will not need.
void shrink_to_fit(ChannelStorage& storage) noexcept;

// One loaded channel with all of its samples; immutable once built. Copies
// share the sample arrays.
struct Channel {
  std::uint16_t index = 0;
  std::string name;
  DataType data_type;
  ChannelMeta meta;
  ChannelStorage storage;

  std::uint64_t sample_count() const noexcept;
  bool is_empty() const noexcept { return sample_count() == 0; }
  // "equidistant", "timestamped" or "variable".
  std::string_view storage_kind() const noexcept;
  // The strings of a String channel, else FlatAccessMismatch.
  Result<const ByteStringList*> as_strings() const;
  // The byte strings of a Binary channel, else FlatAccessMismatch.
  Result<const ByteStringList*> as_binaries() const;
};

}  // namespace qel
