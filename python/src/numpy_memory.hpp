#pragma once

#include "numpy_include.hpp"

namespace qelpy {

// A new uninitialised array whose data comes from the core's array memory,
// so that a large array reuses the pages of arrays freed before it instead
// of faulting in fresh ones. The array owns its data as usual (it can be
// resized); nullptr with a Python error set on failure.
PyObject* new_empty_array(int ndim, npy_intp* dims, int type);

}  // namespace qelpy
