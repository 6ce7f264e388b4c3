#pragma once

// Every file that calls NumPy's C API includes this; numpy_api.cpp owns the table.
#define PY_ARRAY_UNIQUE_SYMBOL qel_ARRAY_API
#define NO_IMPORT_ARRAY
#include "module.hpp"

#include <numpy/arrayobject.h>
