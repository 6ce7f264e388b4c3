#pragma once

#include <cstdint>

#include "module.hpp"
#include "qel/cow_array.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// New NumPy arrays over the memory of arrays just read, which they take over
// instead of copying: the values stay where the read put them, and the
// array's base object keeps them alive. The arrays must share their storage
// with nothing else, as NumPy may write to it. nullptr with a Python error set.

// 1-D of the element type's dtype; GPS values as an (n, 3) float64 array.
PyObject* adopt_values(qel::NumericValues values);
PyObject* adopt_timestamps(qel::CowArray<std::int64_t> timestamps);

}  // namespace qelpy
