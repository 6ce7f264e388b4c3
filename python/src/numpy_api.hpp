#pragma once

#include "module.hpp"

namespace qelpy {

// Loads NumPy's C API table; false with a Python error set on failure.
bool import_numpy();

}  // namespace qelpy
