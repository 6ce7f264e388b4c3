// The block forms and size limits of written files, shared by the writer that
// emits a whole builder and the one that records as samples arrive.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire.hpp"
#include "qel/error.hpp"
#include "writer/binary_write.hpp"

namespace qel::block_forms {

// Largest block length (after the length field) per field width. The 4-byte
// limit stays below 2^31 so that readers may hold a block length in an i32.
inline constexpr std::uint64_t kShortFieldLimit = 65535;
inline constexpr std::uint64_t kLongFieldLimit = 0x7FFFFBFF;
// The timestamp of a record or of a string or binary sample.
inline constexpr std::size_t kTimestampBytes = 8;

// Payload bytes one block may carry in a field of `size_of_length_value`
// bytes, the frame CRC taken off.
inline std::uint64_t payload_budget(std::uint8_t size_of_length_value,
                                    std::uint64_t crc_bytes) noexcept {
  return (size_of_length_value == 2 ? kShortFieldLimit : kLongFieldLimit) - crc_bytes;
}

// Values of `value_bytes` each in a segment's first block and in each later one.
struct SegmentCapacity {
  std::size_t first;
  std::size_t continued;
};

inline SegmentCapacity segment_capacity(std::uint64_t budget, std::size_t value_bytes) noexcept {
  return {std::max<std::size_t>(1, (budget - wire::kStartRunHeadBytes) / value_bytes),
          std::max<std::size_t>(1, (budget - wire::kCountedHeadBytes) / value_bytes)};
}

// Records of (timestamp, value of `value_bytes`) in one block.
inline std::size_t records_per_block(std::uint64_t budget, std::size_t value_bytes) noexcept {
  return std::max<std::size_t>(
      1, (budget - wire::kCountedHeadBytes) / (kTimestampBytes + value_bytes));
}

// A block of one value has no count and no multi-sample flag.
inline std::uint8_t control_byte(std::uint8_t kind, std::size_t count) noexcept {
  return count == 1 ? kind : static_cast<std::uint8_t>(kind | wire::kMultiSample);
}

// The head of a segment's first block of `count` values.
inline void append_segment_head(std::vector<std::uint8_t>& out, std::int64_t start_ns,
                                double sample_rate_hz, std::size_t count) {
  out.push_back(control_byte(wire::kStartData, count));
  append_le(out, start_ns);
  append_le(out, sample_rate_hz);
  if (count != 1) append_le(out, static_cast<std::uint32_t>(count));
}

// The head of a later block of a segment.
inline void append_continued_head(std::vector<std::uint8_t>& out, std::size_t count) {
  out.push_back(control_byte(wire::kContinuedData, count));
  if (count != 1) append_le(out, static_cast<std::uint32_t>(count));
}

// Timestamped numeric and GPS blocks always take the multi-sample form.
inline void append_records_head(std::vector<std::uint8_t>& out, std::size_t count) {
  out.push_back(wire::kAbsTimeStampData | wire::kMultiSample);
  append_le(out, static_cast<std::uint32_t>(count));
}

// One string or binary sample per block, its bytes to the end of the payload.
inline void append_variable_head(std::vector<std::uint8_t>& out, std::int64_t timestamp) {
  out.push_back(wire::kAbsTimeStampData);
  append_le(out, timestamp);
}

// Writes `count` records of (i64 timestamp, value of `value_bytes`: 1, 2, 4,
// 8 or 24) to `out`, the values read from `values` in their wire form.
void interleave_records(std::uint8_t* out, const std::int64_t* timestamps,
                        const std::uint8_t* values, std::size_t value_bytes, std::size_t count);

// Whether a block of `length` bytes after the length field fits a field of
// `size_of_length_value` bytes.
Status check_block_length(std::uint16_t channel, std::uint8_t size_of_length_value,
                          std::uint64_t length);

// Blocks under the trailer marker, or under the signature marker in a file
// with integrity data, would be taken for those records by every reader.
Status check_index_readable(std::uint16_t index, std::string_view name, bool with_crc);

// The header line of a version-5 file: identifier, metablock length, with
// integrity " crc32c:" and the metablock CRC, and a line feed.
std::string header_line(std::string_view metablock, bool with_crc);

// The system clock in whole seconds since the Unix epoch, for "created_utc".
std::int64_t now_unix_seconds();

}  // namespace qel::block_forms
