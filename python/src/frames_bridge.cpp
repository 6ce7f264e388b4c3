#include "frames_bridge.hpp"

#include "py_ref.hpp"

namespace qelpy {

PyObject* call_frames(const char* function, PyObject* self, PyObject* args, PyObject* kwargs) {
  PyRef module(PyImport_ImportModule("qel.frames"));
  if (!module) return nullptr;
  PyRef callable(PyObject_GetAttrString(module.get(), function));
  if (!callable) return nullptr;
  const Py_ssize_t count = PyTuple_Size(args);
  PyRef arguments(PyTuple_New(count + 1));
  if (!arguments) return nullptr;
  PyTuple_SetItem(arguments.get(), 0, Py_NewRef(self));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyTuple_SetItem(arguments.get(), i + 1, Py_NewRef(PyTuple_GetItem(args, i)));
  }
  return PyObject_Call(callable.get(), arguments.get(), kwargs);
}

}  // namespace qelpy
