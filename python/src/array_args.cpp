#include "array_args.hpp"

#include "numpy_include.hpp"

namespace qelpy {
namespace {

PyArrayObject* as_array(PyObject* object) {
  return reinterpret_cast<PyArrayObject*>(object);
}

}  // namespace

bool is_array_of(PyObject* object, int type, int ndim) {
  if (!PyArray_Check(object)) return false;
  PyArrayObject* array = as_array(object);
  return PyArray_NDIM(array) == ndim && PyArray_EquivTypenums(PyArray_TYPE(array), type) &&
         PyArray_ISNOTSWAPPED(array);
}

PyRef readable_array(PyObject* array) {
  if (!PyArray_IS_C_CONTIGUOUS(as_array(array))) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
    return PyRef();
  }
  // Elements at unaligned addresses cannot be read as typed values.
  if (!PyArray_ISALIGNED(as_array(array)))
    return PyRef(PyArray_NewCopy(as_array(array), NPY_CORDER));
  return PyRef::borrow(array);
}

const void* array_data(PyObject* array) {
  return PyArray_DATA(as_array(array));
}

std::size_t array_bytes(PyObject* array) {
  return static_cast<std::size_t>(PyArray_NBYTES(as_array(array)));
}

}  // namespace qelpy
