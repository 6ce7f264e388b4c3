#include "integrity/crc32c_shift.hpp"

namespace qel::detail {
namespace {

using Matrix = std::array<std::uint32_t, 32>;

std::uint32_t apply(const Matrix& matrix, std::uint32_t vector) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; vector != 0; ++i, vector >>= 1) {
    if (vector & 1) sum ^= matrix[i];
  }
  return sum;
}

Matrix square(const Matrix& matrix) {
  Matrix out;
  for (std::size_t i = 0; i < 32; ++i) out[i] = apply(matrix, matrix[i]);
  return out;
}

}  // namespace

ShiftTables make_shift_tables(std::size_t bytes) {
  Matrix op;  // one zero bit
  op[0] = 0x82F63B78;
  for (std::size_t i = 1; i < 32; ++i) op[i] = std::uint32_t{1} << (i - 1);
  for (std::size_t bits = 1; bits < bytes * 8; bits *= 2) op = square(op);
  ShiftTables tables;
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    for (std::size_t k = 0; k < 4; ++k) tables[k][byte] = apply(op, byte << (8 * k));
  }
  return tables;
}

}  // namespace qel::detail
