#include "manager_container.hpp"

#include <string>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
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

PyObject* channel_list(const qel::DataManager& manager) {
  return list_over(manager.channels(), [](const qel::Channel& c) { return new_channel(c); });
}

PyObject* channel_names(const qel::DataManager& manager) {
  return list_over(manager.channels(), [](const qel::Channel& c) {
    return PyUnicode_FromStringAndSize(c.name.data(), static_cast<Py_ssize_t>(c.name.size()));
  });
}

// Iterates over a list made up front: copying a channel shares its samples,
// so the list costs the descriptions alone.
PyObject* manager_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PyRef channels(channel_list(unbox<qel::DataManager>(self)));
    return channels ? PyObject_GetIter(channels.get()) : nullptr;
  });
}

// Only a str can name a channel; anything else is simply not in the manager.
int manager_contains(PyObject* self, PyObject* name) {
  if (!PyUnicode_Check(name)) return 0;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    // Loaded names are UTF-8, so a str that has no UTF-8 form names none.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  const std::string_view key(text, static_cast<std::size_t>(size));
  return unbox<qel::DataManager>(self).channel(key) != nullptr ? 1 : 0;
}

PyObject* manager_subscript(PyObject* self, PyObject* name) {
  return guarded([&]() -> PyObject* {
    std::string key;
    if (!convert_arg(name, "name", key)) return nullptr;
    const qel::Channel* channel = unbox<qel::DataManager>(self).channel(key);
    if (channel == nullptr) {
      PyErr_SetObject(PyExc_KeyError, name);
      return nullptr;
    }
    return new_channel(*channel);
  });
}

}  // namespace qelpy
