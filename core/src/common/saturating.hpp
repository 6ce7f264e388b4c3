#pragma once

#include <cstdint>

namespace qel {

// Conversion toward zero of a double to i64, saturating at its range (NaN gives 0).
std::int64_t saturating_i64(double value) noexcept;
std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept;

}  // namespace qel
