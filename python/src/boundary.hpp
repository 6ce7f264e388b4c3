#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "module.hpp"
#include "qel/error.hpp"

namespace qelpy {

// Runs the body of a Python-facing function; a C++ exception becomes a Python
// exception here instead of unwinding into the interpreter.
template <class F>
PyObject* guarded(F&& body) noexcept {
  qel::prepare_error_path();
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

// Runs `work` with the interpreter lock released; the lock is taken back
// before the result or an exception leaves.
template <class F>
auto without_gil(F&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(work)();
}

}  // namespace qelpy
