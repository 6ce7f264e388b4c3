#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

#include "qel/types.hpp"

namespace qel {

// Decoded blocks as the block reader yields them. Payloads are views into the
// reader's payload buffer: they stay valid only until the next call of
// `BlockReader::next()`. Values are raw little-endian bytes of the channel's
// data type, so the consumer copies a whole run at once.

// `count` values of `type`, each `fixed_size()` bytes, end to end.
struct NumericRun {
  DataTypeId type = DataTypeId::Double;
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
  // The values were read straight into the end of the channel's array (see
  // `PlacedRunTarget`); `bytes` is null then.
  bool placed = false;
};

// bcStartData: a new equidistant run.
struct NumericPayload {
  std::int64_t start_timestamp_ns = 0;
  double sample_rate_hz = 0.0;
  NumericRun values;
};

// Interleaved records of a numeric or GPS channel: an i64 timestamp, then one
// value of `type` (a GPS value is three f64).
struct TimestampedRecords {
  DataTypeId type = DataTypeId::Double;
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
};

// Timestamped string or binary samples. Record i starts at
// `bytes + i * stride` with its i64 timestamp; its value is the `value_size`
// bytes from `value_offset` inside the record. `type` is String or Binary.
struct VariableRecords {
  DataTypeId type = DataTypeId::String;
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
  std::size_t stride = 0;
  std::size_t value_offset = 8;
  std::size_t value_size = 0;

  std::int64_t timestamp(std::size_t i) const noexcept;
  std::span<const std::uint8_t> value(std::size_t i) const noexcept {
    return {bytes + i * stride + value_offset, value_size};
  }
};

// bcAbsTimeStampData and bcMessageEvent.
using TimestampedPayload = std::variant<TimestampedRecords, VariableRecords>;

// bcContinuedRelStampData: records of a u32 delta in nanoseconds, then one
// value of the numeric `type`.
struct RelTimestampedPayload {
  DataTypeId type = DataTypeId::Double;
  const std::uint8_t* bytes = nullptr;
  std::size_t count = 0;
};

enum class SkipReason : std::uint8_t {
  UnsupportedDataType,
  DeprecatedType,
  StatusEvent,
  ReservedType,
  CrcFailed,
  SignatureBlock,
  ZeroLength,
};

struct StartData {
  NumericPayload payload;
};
struct ContinuedData {
  NumericRun values;
};
struct AbsTimestamped {
  TimestampedPayload payload;
};
struct RelTimestamped {
  RelTimestampedPayload payload;
};
// A block the reader passed over; it carries no samples.
struct Skipped {
  SkipReason reason = SkipReason::ReservedType;
  // The block's length field; 0 for zero-length blocks.
  std::uint32_t length = 0;
  // Control byte & 0x7F, for skips decided by the block kind.
  std::optional<std::uint8_t> kind;
};

using BlockKind = std::variant<StartData, ContinuedData, AbsTimestamped, RelTimestamped, Skipped>;

struct DecodedBlock {
  std::uint16_t channel_index = 0;
  BlockKind kind;
};

// Number of samples a decoded block carries.
std::size_t sample_count(const BlockKind& block) noexcept;
inline std::size_t sample_count(const TimestampedPayload& payload) noexcept {
  return std::visit([](const auto& records) { return records.count; }, payload);
}

}  // namespace qel
