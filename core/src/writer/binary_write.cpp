#include "writer/binary_write.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "qel/integrity.hpp"

namespace qel {

// Sample arrays are written from their own memory.
static_assert(std::endian::native == std::endian::little);

void write_length_field(std::vector<std::uint8_t>& out, std::uint8_t size_of_length_value,
                        std::uint32_t value) {
  if (size_of_length_value == 2) {
    append_le(out, static_cast<std::uint16_t>(value));
  } else {
    append_le(out, value);
  }
}

std::size_t numeric_byte_size(const NumericValues& values) noexcept {
  return std::visit([](const auto& array) { return sizeof(array[0]); }, values);
}

std::span<const std::uint8_t> numeric_values_bytes(const NumericValues& values, std::size_t start,
                                                   std::size_t count) noexcept {
  return std::visit(
      [&](const auto& array) {
        const auto typed = array.view().subspan(start, count);
        return std::span(reinterpret_cast<const std::uint8_t*>(typed.data()), typed.size_bytes());
      },
      values);
}

void write_timestamped_records(std::vector<std::uint8_t>& out,
                               std::span<const std::int64_t> timestamps,
                               const NumericValues& values, std::size_t start, std::size_t count) {
  std::visit(
      [&](const auto& array) {
        constexpr std::size_t kWidth = sizeof(array[0]);
        constexpr std::size_t kRecord = 8 + kWidth;
        const std::size_t at = out.size();
        out.resize(at + count * kRecord);
        std::uint8_t* p = out.data() + at;
        const auto* value = array.data() + start;
        const std::int64_t* stamp = timestamps.data() + start;
        for (std::size_t i = 0; i < count; ++i, p += kRecord) {
          std::memcpy(p, stamp + i, 8);
          std::memcpy(p + 8, value + i, kWidth);
        }
      },
      values);
}

Status BlockWriter::begin(std::uint16_t channel, std::uint8_t size_of_length_value,
                          std::uint64_t payload_len) {
  const std::uint64_t length = payload_len + (with_crc_ ? 4 : 0);
  const std::string prefix =
      "channel " + std::to_string(channel) + ": block length " + std::to_string(length) + " bytes ";
  if (length > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Error::invalid_block_payload(prefix + "overflows u32 length field"));
  }
  if (size_of_length_value == 2 && length > std::numeric_limits<std::uint16_t>::max()) {
    return std::unexpected(Error::invalid_block_payload(
        prefix + "exceeds u16 length field; increase size_of_length_value to 4"));
  }
  head_.clear();
  append_le(head_, channel);
  write_length_field(head_, size_of_length_value, static_cast<std::uint32_t>(length));
  crc_ = 0;
  return put(head_);
}

Status BlockWriter::put(std::span<const std::uint8_t> bytes) {
  if (with_crc_) crc_ = crc32c_extend(crc_, bytes);
  return out_.write(bytes);
}

Status BlockWriter::put_borrowed(std::span<const std::uint8_t> bytes) {
  if (with_crc_) crc_ = crc32c_extend(crc_, bytes);
  return out_.write_borrowed(bytes);
}

Status BlockWriter::end() {
  if (!with_crc_) return {};
  head_.clear();
  append_le(head_, crc_);
  return out_.write(head_);
}

}  // namespace qel
