#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "module.hpp"

namespace qelpy {

// The layout of every class of the module: the object header, then one C++
// value constructed in place.
template <class T>
struct Boxed {
  PyObject ob_base;
  T value;
};

template <class T>
T& unbox(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self)->value;
}

// A new instance of `type` holding `value`; nullptr with a Python error set.
template <class T>
PyObject* box(PyObject* type, T value) {
  static_assert(std::is_nothrow_move_constructible_v<T>);
  if (type == nullptr) return nullptr;
  auto* object =
      reinterpret_cast<Boxed<T>*>(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
  if (object == nullptr) return nullptr;
  new (&object->value) T(std::move(value));
  return reinterpret_cast<PyObject*>(object);
}

template <class T>
void dealloc_boxed(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  unbox<T>(self).~T();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// The flags of every class: final, with immutable attributes.
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

// Entries of the PyMethodDef and PyType_Slot tables.
template <class F>
PyCFunction as_method(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class F>
void* as_slot(F* function) noexcept {
  return reinterpret_cast<void*>(function);
}

// Creates a class from its table on first use and keeps it for the life of
// the process; nullptr with a Python error set if creation fails.
inline PyObject* class_from_table(PyObject*& cache, PyType_Spec& table) {
  if (cache == nullptr) cache = PyType_FromSpec(&table);
  return cache;
}

}  // namespace qelpy
