#include "numpy_convert.hpp"

#include <cstring>
#include <numeric>
#include <variant>

#include "numpy_include.hpp"
#include "numpy_memory.hpp"

namespace qelpy {
namespace {

template <class T>
constexpr int kNpyType = -1;
template <>
constexpr int kNpyType<bool> = NPY_BOOL;
template <>
constexpr int kNpyType<std::int8_t> = NPY_INT8;
template <>
constexpr int kNpyType<std::int16_t> = NPY_INT16;
template <>
constexpr int kNpyType<std::int32_t> = NPY_INT32;
template <>
constexpr int kNpyType<std::int64_t> = NPY_INT64;
template <>
constexpr int kNpyType<std::uint8_t> = NPY_UINT8;
template <>
constexpr int kNpyType<std::uint16_t> = NPY_UINT16;
template <>
constexpr int kNpyType<std::uint32_t> = NPY_UINT32;
template <>
constexpr int kNpyType<std::uint64_t> = NPY_UINT64;
template <>
constexpr int kNpyType<float> = NPY_FLOAT32;
template <>
constexpr int kNpyType<double> = NPY_FLOAT64;

PyObject* new_array(int ndim, npy_intp* dims, int type, const void* bytes, std::size_t size) {
  PyObject* array = new_empty_array(ndim, dims, type);
  if (array != nullptr && size > 0) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), bytes, size);
  }
  return array;
}

template <class T>
PyObject* to_array(const qel::CowArray<T>& values) {
  npy_intp dims[] = {static_cast<npy_intp>(values.size())};
  return new_array(1, dims, kNpyType<T>, values.data(), values.view().size_bytes());
}

PyObject* to_array(const qel::CowArray<qel::GpsPoint>& values) {
  npy_intp dims[] = {static_cast<npy_intp>(values.size()), 3};
  return new_array(2, dims, NPY_FLOAT64, values.data(), values.view().size_bytes());
}

}  // namespace

PyObject* values_to_array(const qel::NumericValues& values) {
  return std::visit([](const auto& array) { return to_array(array); }, values);
}

PyObject* timestamps_to_array(std::span<const std::int64_t> timestamps) {
  npy_intp dims[] = {static_cast<npy_intp>(timestamps.size())};
  return new_array(1, dims, NPY_INT64, timestamps.data(), timestamps.size_bytes());
}

PyObject* segment_times_to_array(const std::vector<qel::Segment>& segments) {
  const std::uint64_t total = std::accumulate(
      segments.begin(), segments.end(), std::uint64_t{0},
      [](std::uint64_t sum, const qel::Segment& s) { return sum + s.sample_count; });
  npy_intp dims[] = {static_cast<npy_intp>(total)};
  PyObject* array = new_empty_array(1, dims, NPY_INT64);
  if (array == nullptr) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  for (const qel::Segment& segment : segments) {
    for (std::uint64_t k = 0; k < segment.sample_count; ++k) {
      *out++ = qel::sample_time(segment.start_timestamp_ns, segment.sample_rate_hz, k);
    }
  }
  return array;
}

}  // namespace qelpy
