#include "writer/binary_write.hpp"

#include <bit>
#include <cstring>

#include "qel/integrity.hpp"
#include "writer/block_forms.hpp"

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
  const std::size_t width = numeric_byte_size(values);
  const std::size_t at = out.size();
  out.resize(at + count * (8 + width));
  block_forms::interleave_records(out.data() + at, timestamps.data() + start,
                                  numeric_values_bytes(values, start, count).data(), width, count);
}

Status BlockWriter::begin(std::uint16_t channel, std::uint8_t size_of_length_value,
                          std::uint64_t payload_len) {
  const std::uint64_t length = payload_len + (with_crc_ ? 4 : 0);
  QEL_TRY(block_forms::check_block_length(channel, size_of_length_value, length));
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
