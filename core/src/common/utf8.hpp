#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qel {

// Where and why a byte sequence stops being valid UTF-8.
struct Utf8Error {
  std::size_t valid_up_to;
  // Length of the invalid sequence; absent when the input ends inside one.
  std::optional<std::size_t> error_len;
};

std::optional<Utf8Error> validate_utf8(std::span<const std::uint8_t> bytes) noexcept;

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string describe(const Utf8Error& error);

// Decodes UTF-8, replacing each maximal invalid subpart by U+FFFD.
std::string from_utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace qel
