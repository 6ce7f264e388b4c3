#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "module.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// What File and DataManager share of their lookups by name. `find` is the
// class's own: the first channel of a name as a `const qel::Channel*`, or
// nullptr, given the name as a std::string_view.

// New lists of the channels as `Channel` objects, and of their names.
PyObject* channel_list(const std::vector<qel::Channel>& channels);
PyObject* channel_names(const std::vector<qel::Channel>& channels);

// The name to look up for `name in ...`: nothing for an object that cannot
// name a channel; false with a Python error set.
bool membership_key(PyObject* name, std::optional<std::string_view>& out);

// `name in ...` as the mapping protocol's slot returns it: 1, 0, or -1 with a
// Python error set.
template <class Find>
int contains_channel(PyObject* name, Find&& find) {
  std::optional<std::string_view> key;
  if (!membership_key(name, key)) return -1;
  return key && find(*key) != nullptr ? 1 : 0;
}

// The channel named by the str `name`; nullptr with KeyError (or TypeError
// for a name that is not a str) set.
template <class Find>
const qel::Channel* find_named(PyObject* name, Find&& find) {
  std::string key;
  if (!convert_arg(name, "name", key)) return nullptr;
  const qel::Channel* channel = find(std::string_view(key));
  if (channel == nullptr) PyErr_SetObject(PyExc_KeyError, name);
  return channel;
}

}  // namespace qelpy
