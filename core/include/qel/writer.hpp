#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "qel/cow_array.hpp"
#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/types.hpp"

namespace qel {

class DataManager;

// File-level information of a file to be written; every member is optional.
struct FileInfoDraft {
  std::optional<double> latitude;
  std::optional<double> longitude;
  std::optional<double> altitude;
  std::optional<std::string> creator;
  std::optional<std::string> tag;
  std::optional<std::string> reason;
  std::optional<std::string> namespace_sep;
  std::optional<std::string> comment;
};

struct ChannelDef {
  std::string name;
  DataType data_type = DataTypeId::Double;
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

struct EquidistantSegmentDraft {
  NumericValues values;  // always the Float or Double alternative
  std::int64_t start_ns = 0;
  double sample_rate_hz = 0.0;
};

// The samples waiting for one channel. Once a channel leaves Empty its
// alternative never changes.
struct EmptyData {};
struct EquidistantData {
  std::vector<EquidistantSegmentDraft> segments;
};
struct TimestampedData {
  CowArray<std::int64_t> timestamps;
  NumericValues values;
};
using ChannelData = std::variant<EmptyData, EquidistantData, TimestampedData, VariableChannel>;

// Accumulates channel definitions and samples for one file. Every call
// validates its input at once and either applies completely or leaves the
// builder unchanged; sample arrays are copied.
class WriterBuilder {
 public:
  // Any index fits in a u16, so this is also the channel limit.
  static constexpr std::size_t kMaxChannels = 65536;

  WriterBuilder() = default;
  static Result<WriterBuilder> from_manager(const DataManager& manager);

  WriterBuilder namespace_sep(std::string value) &&;
  WriterBuilder tag(std::string value) &&;
  WriterBuilder reason(std::string value) &&;
  WriterBuilder comment(std::string value) &&;
  WriterBuilder creator(std::string value) &&;
  void set_location(double latitude, double longitude, double altitude);
  void set_integrity(IntegrityProfile profile) { integrity_ = profile; }

  Result<std::uint16_t> add_channel(ChannelDef def);

  Status add_equidistant_segment_f32(std::uint16_t channel, std::int64_t start_ns,
                                     std::span<const float> values, double sample_rate_hz);
  Status add_equidistant_segment_f64(std::uint16_t channel, std::int64_t start_ns,
                                     std::span<const double> values, double sample_rate_hz);

  // T is one of bool, the eight integer types, float, double and GpsPoint;
  // the channel must declare the matching data type.
  template <class T>
  Status add_timestamped_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                                 std::span<const T> values);

  Status add_string_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                            std::span<const std::string_view> values);
  Status add_binary_samples(std::uint16_t channel, std::span<const std::int64_t> timestamps,
                            std::span<const std::span<const std::uint8_t>> values);

  std::size_t channel_count() const noexcept { return channels_.size(); }
  const FileInfoDraft& info() const noexcept { return info_; }
  const std::vector<ChannelDef>& channels() const noexcept { return channels_; }
  const std::vector<ChannelData>& data() const noexcept { return data_; }
  IntegrityProfile integrity() const noexcept { return integrity_; }

 private:
  Status add_equidistant_segment_inner(std::uint16_t channel, DataType values_type,
                                       std::int64_t start_ns, NumericValues values,
                                       double sample_rate_hz);
  template <class V>
  Status add_variable_samples(std::uint16_t channel, DataTypeId type,
                              std::span<const std::int64_t> timestamps, std::span<const V> values);

  FileInfoDraft info_;
  std::vector<ChannelDef> channels_;
  std::vector<ChannelData> data_;
  IntegrityProfile integrity_ = IntegrityProfile::none;
};

// Writes the builder as a version-5 file at `path`; the builder is consumed
// whether or not the write succeeds. A regular file at `path` (or where its
// symbolic links lead) is replaced whole once the new one is complete and
// synced: after a failure it is as it was. A FIFO or a device is written in
// place.
Status write_to_file(WriterBuilder&& builder, const std::string& path);

// The bytes of the version-5 metablock; `created_unix_seconds` is the moment
// written as "created_utc".
Result<std::string> build_metablock_json(const FileInfoDraft& info,
                                         std::span<const ChannelDef> channels,
                                         std::int64_t created_unix_seconds);

}  // namespace qel
