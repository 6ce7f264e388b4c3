#include "common/byte_order.hpp"
#include "payload/payload_common.hpp"

namespace qel {

using payload_detail::payload_error;
using payload_detail::read_count;

namespace {

constexpr std::size_t kGpsRecordBytes = 32;

// The message for a run of records that ends `rest` bytes into the record
// that does not fit.
std::string numeric_shortfall(std::size_t rest, std::size_t width) {
  if (rest < 8) return "AbsTs ts: failed to fill whole buffer";
  return "AbsTs value (" + std::to_string(width) + "): failed to fill whole buffer";
}

std::string gps_shortfall(std::size_t rest) {
  if (rest < 8) return "AbsTs gps ts: failed to fill whole buffer";
  if (rest < 16) return "gps latitude: failed to fill whole buffer";
  if (rest < 24) return "gps longitude: failed to fill whole buffer";
  return "gps altitude: failed to fill whole buffer";
}

}  // namespace

std::size_t record_size(const TimestampedRecords& records) noexcept {
  if (records.type == DataTypeId::GpsLocation) return kGpsRecordBytes;
  return 8 + DataType(records.type).fixed_size().value_or(0);
}

Result<TimestampedPayload> parse_abs_timestamp_data(std::span<const std::uint8_t> payload,
                                                    const DataType& type, bool multi_sample,
                                                    bool strings_terminated) {
  switch (type.id()) {
    case DataTypeId::String:
    case DataTypeId::Binary:
      return parse_abs_timestamp_string_or_binary(payload, type, multi_sample, strings_terminated);
    case DataTypeId::ByteArray:
      return parse_abs_timestamp_string_or_binary(payload, DataTypeId::Binary, multi_sample,
                                                  strings_terminated);
    default:
      break;
  }
  PayloadCursor cursor(payload);
  QEL_ASSIGN_OR_RETURN(const std::uint32_t n,
                       read_count(cursor, multi_sample, payload_detail::kMultiSampleN));
  if (type.id() == DataTypeId::Unsupported) {
    return payload_error("AbsTimeStampData on Unsupported channel reached the typed parser");
  }
  const TimestampedRecords records{type.id(), cursor.here(), n};
  const std::size_t size = record_size(records);
  const std::size_t whole = cursor.remaining() / size;
  if (whole < n) {
    const std::size_t rest = cursor.remaining() - whole * size;
    if (type.id() == DataTypeId::GpsLocation) return payload_error(gps_shortfall(rest));
    return payload_error(numeric_shortfall(rest, size - 8));
  }
  return records;
}

Result<RelTimestampedPayload> parse_continued_rel_stamp_data(std::span<const std::uint8_t> payload,
                                                             const DataType& type,
                                                             bool multi_sample) {
  PayloadCursor cursor(payload);
  QEL_ASSIGN_OR_RETURN(const std::uint32_t n,
                       read_count(cursor, multi_sample, payload_detail::kMultiSampleN));
  if (!type.is_numeric()) {
    return payload_error("bcContinuedRelStampData not allowed for datatype " + type.display_name());
  }
  const std::size_t size = 4 + *type.fixed_size();
  const std::size_t whole = cursor.remaining() / size;
  if (whole < n) {
    const std::size_t rest = cursor.remaining() - whole * size;
    return payload_error(rest < 4 ? "RelTs delta: failed to fill whole buffer"
                                  : "RelTs value: failed to fill whole buffer");
  }
  return RelTimestampedPayload{type.id(), cursor.here(), n};
}

std::optional<std::pair<std::int64_t, std::int64_t>> abs_timestamp_range(
    const TimestampedPayload& payload) noexcept {
  struct Range {
    std::optional<std::pair<std::int64_t, std::int64_t>> operator()(
        const TimestampedRecords& records) const noexcept {
      if (records.count == 0) return std::nullopt;
      const std::size_t size = record_size(records);
      return std::pair{load_le<std::int64_t>(records.bytes),
                       load_le<std::int64_t>(records.bytes + (records.count - 1) * size)};
    }
    std::optional<std::pair<std::int64_t, std::int64_t>> operator()(
        const VariableRecords& records) const noexcept {
      if (records.count == 0) return std::nullopt;
      return std::pair{load_le<std::int64_t>(records.bytes),
                       load_le<std::int64_t>(records.bytes + (records.count - 1) * records.stride)};
    }
  };
  return std::visit(Range{}, payload);
}

}  // namespace qel
