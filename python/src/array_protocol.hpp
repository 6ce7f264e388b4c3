#pragma once

#include <utility>

#include "module.hpp"
#include "py_ref.hpp"

namespace qelpy {

// NumPy's `__array__(dtype=None, copy=None)` for objects whose arrays are
// always built anew, in two steps.

// The dtype requested (nullptr for None); false with an error set for bad
// arguments, and ValueError for copy=False before anything is built, as
// NumPy expects when a copy cannot be avoided.
bool parse_array_request(PyObject* args, PyObject* kwargs, PyObject*& dtype);

// `array` cast to `dtype` as `np.asarray(x, dtype)` casts; the array itself
// for a null dtype or its own.
PyObject* array_as_dtype(PyRef array, PyObject* dtype);

// Both around `make`, which returns a new array (nullptr with an error set).
template <class Make>
PyObject* array_protocol(PyObject* args, PyObject* kwargs, Make&& make) {
  PyObject* dtype = nullptr;
  if (!parse_array_request(args, kwargs, dtype)) return nullptr;
  PyRef array(std::forward<Make>(make)());
  if (!array) return nullptr;
  return array_as_dtype(std::move(array), dtype);
}

}  // namespace qelpy
