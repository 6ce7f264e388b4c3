#include "sequence_args.hpp"

#include "args.hpp"

namespace qelpy {
namespace {

// The length of a sequence that is not a str, or -1 with TypeError set.
Py_ssize_t sequence_length(PyObject* value, const char* name, const char* expected) {
  if (!PySequence_Check(value) || PyUnicode_Check(value)) {
    raise_wrong_type(name, expected, value);
    return -1;
  }
  return PySequence_Size(value);
}

void raise_wrong_item(const char* name, Py_ssize_t position, const char* expected, PyObject* item) {
  const PyRef type_name(PyType_GetName(Py_TYPE(item)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': item %zd must be %s, not %U", name, position,
               expected, type_name.get());
}

}  // namespace

bool StringsArg::convert(PyObject* value, const char* name) {
  const Py_ssize_t length = sequence_length(value, name, "a sequence of str");
  if (length < 0) return false;
  items_.reserve(static_cast<std::size_t>(length));
  views_.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item(PySequence_GetItem(value, i));
    if (!item) return false;
    if (!PyUnicode_Check(item.get())) {
      raise_wrong_item(name, i, "str", item.get());
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (text == nullptr) return false;
    views_.emplace_back(text, static_cast<std::size_t>(size));
    items_.push_back(std::move(item));
  }
  return true;
}

BinariesArg::~BinariesArg() {
  for (Py_buffer& buffer : buffers_) PyBuffer_Release(&buffer);
}

bool BinariesArg::convert(PyObject* value, const char* name) {
  const Py_ssize_t length = sequence_length(value, name, "a sequence of bytes-like objects");
  if (length < 0) return false;
  // Reserved up front, so that keeping an acquired buffer cannot fail.
  buffers_.reserve(static_cast<std::size_t>(length));
  copies_.reserve(static_cast<std::size_t>(length));
  views_.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const PyRef item(PySequence_GetItem(value, i));
    if (!item || !convert_item(item.get(), name, i)) return false;
  }
  return true;
}

bool BinariesArg::convert_item(PyObject* item, const char* name, Py_ssize_t position) {
  if (PyObject_CheckBuffer(item)) {
    Py_buffer buffer;
    if (PyObject_GetBuffer(item, &buffer, PyBUF_SIMPLE) < 0) return false;
    buffers_.push_back(buffer);
    views_.emplace_back(static_cast<const std::uint8_t*>(buffer.buf),
                        static_cast<std::size_t>(buffer.len));
    return true;
  }
  if (PySequence_Check(item) && !PyUnicode_Check(item)) return convert_integers(item, name);
  raise_wrong_item(name, position, "a bytes-like object or a sequence of int", item);
  return false;
}

bool BinariesArg::convert_integers(PyObject* item, const char* name) {
  const Py_ssize_t length = PySequence_Size(item);
  if (length < 0) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const PyRef element(PySequence_GetItem(item, i));
    if (!element || !convert_arg(element.get(), name, bytes[static_cast<std::size_t>(i)])) {
      return false;
    }
  }
  views_.emplace_back(bytes.data(), bytes.size());
  copies_.push_back(std::move(bytes));
  return true;
}

}  // namespace qelpy
