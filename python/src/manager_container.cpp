#include "manager_container.hpp"

#include "boundary.hpp"
#include "boxed.hpp"
#include "channel_lookup.hpp"
#include "classes.hpp"
#include "py_ref.hpp"

namespace qelpy {

// Iterates over a list made up front: copying a channel shares its samples,
// so the list costs the descriptions alone.
PyObject* manager_iter(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PyRef channels(channel_list(unbox<qel::DataManager>(self).channels()));
    return channels ? PyObject_GetIter(channels.get()) : nullptr;
  });
}

int manager_contains(PyObject* self, PyObject* name) {
  const qel::DataManager& manager = unbox<qel::DataManager>(self);
  return contains_channel(name, [&](std::string_view key) { return manager.channel(key); });
}

PyObject* manager_subscript(PyObject* self, PyObject* name) {
  return guarded([&]() -> PyObject* {
    const qel::DataManager& manager = unbox<qel::DataManager>(self);
    const qel::Channel* channel =
        find_named(name, [&](std::string_view key) { return manager.channel(key); });
    return channel ? new_channel(*channel) : nullptr;
  });
}

}  // namespace qelpy
