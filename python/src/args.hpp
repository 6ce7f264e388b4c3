#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "module.hpp"

namespace qelpy {

// Argument conversion. Each function reads one argument named `name`; false
// means a Python exception is set: TypeError "argument '<name>': ..." for a
// value of the wrong type, OverflowError for an integer out of range.

bool convert_arg(PyObject* value, const char* name, std::string& out);
// None or str.
bool convert_arg(PyObject* value, const char* name, std::optional<std::string>& out);
bool convert_arg(PyObject* value, const char* name, std::uint8_t& out);
bool convert_arg(PyObject* value, const char* name, std::uint16_t& out);
bool convert_arg(PyObject* value, const char* name, std::int64_t& out);
// None or an integer.
bool convert_arg(PyObject* value, const char* name, std::optional<std::int64_t>& out);
bool convert_arg(PyObject* value, const char* name, double& out);

// A str naming a file; a NUL character, which would silently cut the path
// short, is refused with ValueError.
bool convert_path(PyObject* value, const char* name, std::string& out);

// Raises TypeError "argument '<name>': must be <expected>, not <type>".
void raise_wrong_type(const char* name, const char* expected, PyObject* value);

// PyArg_ParseTupleAndKeywords wants a mutable keyword list before Python 3.13.
inline char** keywords(const char* const* names) noexcept {
  return const_cast<char**>(names);
}

// Unpacks the single argument `name` of a call (`format` as
// PyArg_ParseTupleAndKeywords takes it) and converts it as convert_arg does.
template <class T>
bool unpack_one(PyObject* args, PyObject* kwargs, const char* format, const char* name, T& out) {
  const char* const names[] = {name, nullptr};
  PyObject* value = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &value) &&
         convert_arg(value, name, out);
}

}  // namespace qelpy
