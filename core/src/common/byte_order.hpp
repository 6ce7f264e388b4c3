#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qel {

// Reads a little-endian value of an integer or floating-point type from
// possibly unaligned memory.
template <class T>
T load_le(const std::uint8_t* bytes) noexcept {
  static_assert(std::is_arithmetic_v<T>);
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    using Bits =
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
    Bits bits;
    std::memcpy(&bits, &value, sizeof(T));
    bits = std::byteswap(bits);
    std::memcpy(&value, &bits, sizeof(T));
  }
  return value;
}

}  // namespace qel
