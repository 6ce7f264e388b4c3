#pragma once

#include "module.hpp"
#include "qel/manager.hpp"

namespace qelpy {

// The container protocol of `DataManager`: iteration over its channels in
// metablock order, and membership and subscription by name, which find the
// first channel of a name as `channel(name)` does.
PyObject* manager_iter(PyObject* self);
int manager_contains(PyObject* self, PyObject* name);
PyObject* manager_subscript(PyObject* self, PyObject* name);

}  // namespace qelpy
