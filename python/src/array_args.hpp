#pragma once

#include <cstddef>
#include <span>

#include "module.hpp"
#include "py_ref.hpp"

namespace qelpy {

// NumPy arrays handed to the writer, read in place.

// Whether `object` is a NumPy array of `ndim` dimensions whose elements are
// exactly of NumPy type `type` in native byte order. Sets no error.
bool is_array_of(PyObject* object, int type, int ndim);

// An array that passed `is_array_of`, ready to be read as one block of
// memory: the array itself, or an aligned copy of an unaligned one. A strided
// array raises TypeError "The given array is not contiguous"; nullptr then.
PyRef readable_array(PyObject* array);

const void* array_data(PyObject* array);
std::size_t array_bytes(PyObject* array);

template <class T>
std::span<const T> array_elements(PyObject* array) {
  return {static_cast<const T*>(array_data(array)), array_bytes(array) / sizeof(T)};
}

}  // namespace qelpy
