#include "numpy_handover.hpp"

#include <memory>
#include <utility>
#include <variant>

#include "numpy_include.hpp"
#include "numpy_memory.hpp"
#include "numpy_types.hpp"
#include "py_ref.hpp"

namespace qelpy {
namespace {

constexpr const char* kCapsuleName = "qel.samples";

void drop_values(PyObject* capsule) {
  delete static_cast<qel::NumericValues*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// Where the values of an array lie and the NumPy shape they have.
struct Shape {
  const void* data;
  int ndim;
  npy_intp dims[2];
  int type;
};

template <class T>
Shape shape_of(const qel::CowArray<T>& array) {
  return {array.data(), 1, {static_cast<npy_intp>(array.size()), 0}, kNpyType<T>};
}

Shape shape_of(const qel::CowArray<qel::GpsPoint>& array) {
  return {array.data(), 2, {static_cast<npy_intp>(array.size()), 3}, NPY_FLOAT64};
}

}  // namespace

PyObject* adopt_values(qel::NumericValues values) {
  Shape shape = std::visit([](const auto& array) { return shape_of(array); }, values);
  // An empty array has no memory to take over.
  if (shape.data == nullptr) return new_empty_array(shape.ndim, shape.dims, shape.type);
  // Moving the values moves their storage, not the elements: `shape.data`
  // stays valid, now owned by the array's base object.
  auto owned = std::make_unique<qel::NumericValues>(std::move(values));
  PyRef capsule(PyCapsule_New(owned.get(), kCapsuleName, drop_values));
  if (!capsule) return nullptr;
  owned.release();
  PyRef array(PyArray_New(&PyArray_Type, shape.ndim, shape.dims, shape.type, nullptr,
                          const_cast<void*>(shape.data), 0, NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  // The base object is taken over even when this fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) !=
      0) {
    return nullptr;
  }
  return array.release();
}

PyObject* adopt_timestamps(qel::CowArray<std::int64_t> timestamps) {
  return adopt_values(qel::NumericValues(std::move(timestamps)));
}

}  // namespace qelpy
