#include "args.hpp"

#include <limits>

#include "py_ref.hpp"

namespace qelpy {
namespace {

bool read_integer(PyObject* value, const char* name, long long min, long long max, long long& out) {
  if (!PyIndex_Check(value)) {
    raise_wrong_type(name, "int", value);
    return false;
  }
  const PyRef index(PyNumber_Index(value));
  if (!index) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || out < min || out > max) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %S is out of range %lld to %lld", name,
                 index.get(), min, max);
    return false;
  }
  return true;
}

template <class Int>
bool convert_integer(PyObject* value, const char* name, Int& out) {
  long long wide = 0;
  if (!read_integer(value, name, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(),
                    wide)) {
    return false;
  }
  out = static_cast<Int>(wide);
  return true;
}

}  // namespace

void raise_wrong_type(const char* name, const char* expected, PyObject* value) {
  const PyRef type_name(PyType_GetName(Py_TYPE(value)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %U", name, expected,
               type_name.get());
}

bool convert_arg(PyObject* value, const char* name, std::string& out) {
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(name, "str", value);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out.assign(text, static_cast<std::size_t>(size));
  return true;
}

bool convert_arg(PyObject* value, const char* name, std::optional<std::string>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(value)) {
    raise_wrong_type(name, "str or None", value);
    return false;
  }
  return convert_arg(value, name, out.emplace());
}

bool convert_arg(PyObject* value, const char* name, std::uint8_t& out) {
  return convert_integer(value, name, out);
}

bool convert_arg(PyObject* value, const char* name, std::uint16_t& out) {
  return convert_integer(value, name, out);
}

bool convert_arg(PyObject* value, const char* name, std::int64_t& out) {
  return convert_integer(value, name, out);
}

bool convert_arg(PyObject* value, const char* name, std::optional<std::int64_t>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyIndex_Check(value)) {
    raise_wrong_type(name, "int or None", value);
    return false;
  }
  return convert_arg(value, name, out.emplace());
}

bool convert_arg(PyObject* value, const char* name, double& out) {
  out = PyFloat_AsDouble(value);
  if (out != -1.0 || !PyErr_Occurred()) return true;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_wrong_type(name, "float", value);
  }
  return false;
}

bool convert_path(PyObject* value, const char* name, std::string& out) {
  if (!convert_arg(value, name, out)) return false;
  if (out.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character", name);
    return false;
  }
  return true;
}

}  // namespace qelpy
