#include "common/utf8.hpp"

#include <cstring>

namespace qel {
namespace {

bool is_continuation(std::uint8_t byte) {
  return (byte & 0xC0) == 0x80;
}

// Accepted range of the second byte of a multi-byte sequence, by its first byte.
bool second_byte_ok(std::uint8_t first, std::uint8_t second) {
  switch (first) {
    case 0xE0:
      return second >= 0xA0 && second <= 0xBF;
    case 0xED:
      return second >= 0x80 && second <= 0x9F;
    case 0xF0:
      return second >= 0x90 && second <= 0xBF;
    case 0xF4:
      return second >= 0x80 && second <= 0x8F;
    default:
      return is_continuation(second);
  }
}

std::size_t sequence_width(std::uint8_t first) {
  if (first < 0x80) return 1;
  if (first >= 0xC2 && first <= 0xDF) return 2;
  if (first >= 0xE0 && first <= 0xEF) return 3;
  if (first >= 0xF0 && first <= 0xF4) return 4;
  return 0;
}

}  // namespace

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + i, 8);
      if ((word & 0x8080808080808080u) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t first = bytes[i];
    const std::size_t width = sequence_width(first);
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return Utf8Error{i, 1};
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      const bool ok = k == 1 ? second_byte_ok(first, bytes[i + 1]) : is_continuation(bytes[i + k]);
      if (!ok) return Utf8Error{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

std::string describe(const Utf8Error& error) {
  if (error.error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
}

std::string from_utf8_lossy(std::span<const std::uint8_t> bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const auto error = validate_utf8(bytes);
    const std::size_t valid = error ? error->valid_up_to : bytes.size();
    out.append(reinterpret_cast<const char*>(bytes.data()), valid);
    if (!error) break;
    out += kReplacement;
    if (!error->error_len) break;
    bytes = bytes.subspan(valid + *error->error_len);
  }
  return out;
}

}  // namespace qel
