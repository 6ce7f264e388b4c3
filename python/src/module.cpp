#include "module.hpp"

#include "error.hpp"
#include "numpy_api.hpp"

namespace {

constexpr const char* kVersion = "1.1.0";

PyModuleDef qel_module = {
    PyModuleDef_HEAD_INIT,
    "_qel",
    "Reads and writes QEL stream files.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool register_module_contents(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return false;
  PyObject* error_type = qelpy::qel_error_type();
  if (error_type == nullptr) return false;
  Py_INCREF(error_type);
  if (PyModule_AddObject(module, "QelError", error_type) < 0) {
    Py_DECREF(error_type);
    return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit__qel(void) {
  if (!qelpy::import_numpy()) return nullptr;
  PyObject* module = PyModule_Create(&qel_module);
  if (module == nullptr) return nullptr;
  if (!register_module_contents(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
