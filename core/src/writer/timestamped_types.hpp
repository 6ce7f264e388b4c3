#pragma once

#include <cstdint>

#include "qel/types.hpp"

// The value types of timestamped samples, one list for the explicit
// instantiations of every writer's add_timestamped_samples.
// clang-format off
#define QEL_FOR_EACH_TIMESTAMPED_TYPE(X) \
  X(bool) \
  X(std::int8_t) \
  X(std::int16_t) \
  X(std::int32_t) \
  X(std::int64_t) \
  X(std::uint8_t) \
  X(std::uint16_t) \
  X(std::uint32_t) \
  X(std::uint64_t) \
  X(float) \
  X(double) \
  X(GpsPoint)
// clang-format on
