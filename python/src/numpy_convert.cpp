#include "numpy_convert.hpp"

#include <numeric>
#include <variant>

#include "numpy_include.hpp"
#include "numpy_memory.hpp"
#include "numpy_types.hpp"
#include "qel/array_memory.hpp"

namespace qelpy {
namespace {

PyObject* new_array(int ndim, npy_intp* dims, int type, const void* bytes, std::size_t size) {
  PyObject* array = new_empty_array(ndim, dims, type);
  if (array != nullptr && size > 0) {
    qel::array_memory::fill(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), bytes, size);
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
  qel::fill_sample_times(segments, std::span(out, total));
  return array;
}

}  // namespace qelpy
