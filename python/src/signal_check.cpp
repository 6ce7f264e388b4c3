#include "signal_check.hpp"

#include "py_ref.hpp"

namespace qelpy {
namespace {

// Where the thread cannot be told, it is taken for the main thread: asking
// needlessly costs little.
bool on_main_thread() {
  const PyRef threading(PyImport_ImportModule("threading"));
  const PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr)
                             : nullptr);
  const PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return main_ident == PyThread_get_thread_ident();
}

}  // namespace

SignalCheck::SignalCheck()
    : main_thread_(on_main_thread()), last_look_(std::chrono::steady_clock::now()) {}

SignalCheck::~SignalCheck() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

bool SignalCheck::stop(bool interrupted) {
  if (type_ != nullptr) return true;
  if (!main_thread_) return false;
  if (!interrupted) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_look_ < kCheckpointInterval) return false;
    last_look_ = now;
  }
  const PyGILState_STATE lock = PyGILState_Ensure();
  if (PyErr_CheckSignals() != 0) PyErr_Fetch(&type_, &value_, &traceback_);
  PyGILState_Release(lock);
  return type_ != nullptr;
}

bool SignalCheck::raise_caught() {
  if (type_ == nullptr) return false;
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
  return true;
}

}  // namespace qelpy
