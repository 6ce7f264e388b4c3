#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qel::detail {

// Joining the CRCs of two adjacent pieces shifts the first one's register
// over as many zero bytes as the second piece holds: a linear map over
// GF(2), applied here with four byte tables.
using ShiftTables = std::array<std::array<std::uint32_t, 256>, 4>;

// The tables for a shift over `bytes` zero bytes, a power of two.
ShiftTables make_shift_tables(std::size_t bytes);

template <std::size_t kBytes>
std::uint32_t shift_over(std::uint32_t reg) {
  static_assert((kBytes & (kBytes - 1)) == 0);
  static const ShiftTables tables = make_shift_tables(kBytes);
  return tables[0][reg & 0xFF] ^ tables[1][(reg >> 8) & 0xFF] ^ tables[2][(reg >> 16) & 0xFF] ^
         tables[3][reg >> 24];
}

}  // namespace qel::detail
