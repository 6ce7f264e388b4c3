#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "writer/gather_writer.hpp"

namespace qel {

// Appends the bytes of `value`; every host this builds on is little-endian.
template <class T>
void append_le(std::vector<std::uint8_t>& out, T value) {
  const std::size_t at = out.size();
  out.resize(at + sizeof(T));
  std::memcpy(out.data() + at, &value, sizeof(T));
}

// Appends `value` little-endian as u16 for width 2 and as u32 for width 4.
void write_length_field(std::vector<std::uint8_t>& out, std::uint8_t size_of_length_value,
                        std::uint32_t value);

// Bytes of one value of `values` in block payloads: 1 to 8, 24 for GPS.
std::size_t numeric_byte_size(const NumericValues& values) noexcept;

// The payload bytes of `count` values from position `start`: the values'
// own memory, which already is the little-endian wire form.
std::span<const std::uint8_t> numeric_values_bytes(const NumericValues& values, std::size_t start,
                                                   std::size_t count) noexcept;

// Appends `count` records of (i64 timestamp, value) from position `start`.
void write_timestamped_records(std::vector<std::uint8_t>& out,
                               std::span<const std::int64_t> timestamps,
                               const NumericValues& values, std::size_t start, std::size_t count);

// Frames one block: channel index, length field, payload, and with integrity
// the CRC32C of all three. The payload may be handed over in pieces, so large
// sample arrays are written from where they are.
class BlockWriter {
 public:
  BlockWriter(GatherWriter& out, bool with_crc) noexcept : out_(out), with_crc_(with_crc) {}

  // Checks that the length fits the field and writes the frame's head.
  Status begin(std::uint16_t channel, std::uint8_t size_of_length_value, std::uint64_t payload_len);
  // Writes the next piece of the payload.
  Status put(std::span<const std::uint8_t> bytes);
  // The same for bytes that stay alive and unchanged until `out` is flushed.
  Status put_borrowed(std::span<const std::uint8_t> bytes);
  // Writes the CRC, if any, after the whole payload.
  Status end();

 private:
  GatherWriter& out_;
  bool with_crc_;
  std::uint32_t crc_ = 0;
  std::vector<std::uint8_t> head_;
};

}  // namespace qel
