#include "error.hpp"

namespace qelpy {

PyObject* qel_error_type() {
  static PyObject* type = PyErr_NewException("qel.QelError", PyExc_Exception, nullptr);
  return type;
}

PyObject* convert_error(qel::Error error) {
  return raise_qel_error(error.message().c_str());
}

PyObject* raise_qel_error(const char* message) {
  PyObject* type = qel_error_type();
  if (type != nullptr) PyErr_SetString(type, message);
  return nullptr;
}

}  // namespace qelpy
