#pragma once

#include <cstdint>

#include "numpy_include.hpp"

namespace qelpy {

// The NumPy type of each numeric sample type; -1 for none.
template <class T>
inline constexpr int kNpyType = -1;
template <>
inline constexpr int kNpyType<bool> = NPY_BOOL;
template <>
inline constexpr int kNpyType<std::int8_t> = NPY_INT8;
template <>
inline constexpr int kNpyType<std::int16_t> = NPY_INT16;
template <>
inline constexpr int kNpyType<std::int32_t> = NPY_INT32;
template <>
inline constexpr int kNpyType<std::int64_t> = NPY_INT64;
template <>
inline constexpr int kNpyType<std::uint8_t> = NPY_UINT8;
template <>
inline constexpr int kNpyType<std::uint16_t> = NPY_UINT16;
template <>
inline constexpr int kNpyType<std::uint32_t> = NPY_UINT32;
template <>
inline constexpr int kNpyType<std::uint64_t> = NPY_UINT64;
template <>
inline constexpr int kNpyType<float> = NPY_FLOAT32;
template <>
inline constexpr int kNpyType<double> = NPY_FLOAT64;

template <class... T>
struct TypeList {};

// The sample types that are one NumPy scalar each, in the order of DataTypeId.
using ScalarSampleTypes =
    TypeList<bool, std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t,
             std::uint16_t, std::uint32_t, std::uint64_t, float, double>;

}  // namespace qelpy
