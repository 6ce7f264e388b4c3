#pragma once

#include <utility>

#include "module.hpp"

namespace qelpy {

// Owns one strong reference, so every early return releases what it holds.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (nullptr allowed).
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  ~PyRef() { Py_XDECREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace qelpy
