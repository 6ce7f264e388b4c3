#include "channel_lookup.hpp"

#include "classes.hpp"
#include "py_ref.hpp"

namespace qelpy {
namespace {

// A new list of one object per channel, made by `make`.
template <class Make>
PyObject* list_over(const std::vector<qel::Channel>& channels, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(channels.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < channels.size(); ++i) {
    PyObject* item = make(channels[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* channel_list(const std::vector<qel::Channel>& channels) {
  return list_over(channels, [](const qel::Channel& c) { return new_channel(c); });
}

PyObject* channel_names(const std::vector<qel::Channel>& channels) {
  return list_over(channels, [](const qel::Channel& c) {
    return PyUnicode_FromStringAndSize(c.name.data(), static_cast<Py_ssize_t>(c.name.size()));
  });
}

// Only a str can name a channel; anything else is simply not there.
bool membership_key(PyObject* name, std::optional<std::string_view>& out) {
  out.reset();
  if (!PyUnicode_Check(name)) return true;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    // The names are UTF-8, so a str that has no UTF-8 form names none.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return true;
  }
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

}  // namespace qelpy
