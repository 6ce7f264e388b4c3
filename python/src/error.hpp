#pragma once

#include "module.hpp"
#include "qel/error.hpp"

namespace qelpy {

// The exception type qel.QelError, created on first use and kept for the
// life of the process.
PyObject* qel_error_type();

// Raises a core error as QelError with its display text; returns nullptr so
// callers can `return convert_error(...)`.
PyObject* convert_error(qel::Error error);

// Raises QelError with a fixed text; returns nullptr.
PyObject* raise_qel_error(const char* message);

}  // namespace qelpy
