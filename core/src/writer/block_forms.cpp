#include "writer/block_forms.hpp"

#include <chrono>
#include <limits>
#include <span>

#include "qel/integrity.hpp"

namespace qel::block_forms {
namespace {

// The value width is a constant here, so each copy is a plain move.
template <std::size_t kWidth>
void interleave_fixed(std::uint8_t* out, const std::int64_t* timestamps, const std::uint8_t* values,
                      std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i, out += kTimestampBytes + kWidth) {
    std::memcpy(out, timestamps + i, kTimestampBytes);
    std::memcpy(out + kTimestampBytes, values + i * kWidth, kWidth);
  }
}

}  // namespace

void interleave_records(std::uint8_t* out, const std::int64_t* timestamps,
                        const std::uint8_t* values, std::size_t value_bytes, std::size_t count) {
  switch (value_bytes) {
    case 1:
      return interleave_fixed<1>(out, timestamps, values, count);
    case 2:
      return interleave_fixed<2>(out, timestamps, values, count);
    case 4:
      return interleave_fixed<4>(out, timestamps, values, count);
    case 8:
      return interleave_fixed<8>(out, timestamps, values, count);
    default:
      return interleave_fixed<24>(out, timestamps, values, count);
  }
}

Status check_block_length(std::uint16_t channel, std::uint8_t size_of_length_value,
                          std::uint64_t length) {
  const auto refuse = [&](std::string_view reason) {
    return std::unexpected(Error::invalid_block_payload("channel " + std::to_string(channel) +
                                                        ": block length " + std::to_string(length) +
                                                        " bytes " + std::string(reason)));
  };
  if (length > std::numeric_limits<std::uint32_t>::max()) {
    return refuse("overflows u32 length field");
  }
  if (size_of_length_value == 2 && length > std::numeric_limits<std::uint16_t>::max()) {
    return refuse("exceeds u16 length field; increase size_of_length_value to 4");
  }
  return {};
}

Status check_index_readable(std::uint16_t index, std::string_view name, bool with_crc) {
  std::string reason;
  if (index == wire::kTrailerMarker) {
    reason = "index 65535 is the stream trailer marker";
  } else if (index == wire::kSignatureMarker && with_crc) {
    reason = "index 65534 is the signature block marker in files with integrity data";
  } else {
    return {};
  }
  return std::unexpected(Error::invalid_block_payload("channel " + std::to_string(index) + " " +
                                                      quoted(name) + ": " + reason +
                                                      "; its samples could not be read back"));
}

std::string header_line(std::string_view metablock, bool with_crc) {
  std::string line = std::string(wire::kVersion5) + " " + std::to_string(metablock.size());
  if (with_crc) {
    line +=
        " crc32c:" + hex8(crc32c(std::span(reinterpret_cast<const std::uint8_t*>(metablock.data()),
                                           metablock.size())));
  }
  return line + "\n";
}

std::int64_t now_unix_seconds() {
  using std::chrono::seconds;
  using std::chrono::system_clock;
  return std::chrono::floor<seconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace qel::block_forms
