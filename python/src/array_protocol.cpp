#include "array_protocol.hpp"

#include "args.hpp"
#include "numpy_include.hpp"

namespace qelpy {

bool parse_array_request(PyObject* args, PyObject* kwargs, PyObject*& dtype) {
  static const char* const names[] = {"dtype", "copy", nullptr};
  PyObject* dtype_arg = Py_None;
  PyObject* copy_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:__array__", keywords(names), &dtype_arg,
                                   &copy_arg)) {
    return false;
  }
  if (copy_arg != Py_None) {
    const int copy = PyObject_IsTrue(copy_arg);
    if (copy < 0) return false;
    if (copy == 0) {
      PyErr_SetString(PyExc_ValueError,
                      "the samples are always copied into a new array; copy=False cannot be "
                      "honoured, use np.asarray() to allow the copy");
      return false;
    }
  }
  dtype = dtype_arg == Py_None ? nullptr : dtype_arg;
  return true;
}

PyObject* array_as_dtype(PyRef array, PyObject* dtype) {
  if (dtype == nullptr) return array.release();
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(dtype, &descr)) return nullptr;
  // Takes over the descriptor; returns the array itself when no cast is needed.
  return PyArray_FromArray(reinterpret_cast<PyArrayObject*>(array.get()), descr,
                           NPY_ARRAY_FORCECAST);
}

}  // namespace qelpy
