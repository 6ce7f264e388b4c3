#include "error.hpp"

#include <string_view>

#include "py_ref.hpp"

namespace qelpy {
namespace {

// The whole text, embedded NULs included; bytes that are not UTF-8 (a
// message can quote file content) are replaced rather than failing.
PyObject* raise_with_text(std::string_view text) {
  PyObject* type = qel_error_type();
  if (type == nullptr) return nullptr;
  const PyRef message(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace

PyObject* qel_error_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyErr_NewException("qel.QelError", PyExc_Exception, nullptr);
  return type;
}

PyObject* convert_error(qel::Error error) {
  if (error.kind() == qel::ErrorKind::OutOfMemory) return PyErr_NoMemory();
  return raise_with_text(error.message());
}

PyObject* raise_qel_error(const char* message) {
  return raise_with_text(message);
}

}  // namespace qelpy
