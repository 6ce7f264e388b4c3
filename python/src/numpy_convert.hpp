#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "module.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// New NumPy arrays that own a copy of the values, made with one memcpy.
// nullptr with a Python error set on failure.

// 1-D of the element type's dtype; GPS values as an (n, 3) float64 array.
PyObject* values_to_array(const qel::NumericValues& values);
PyObject* timestamps_to_array(std::span<const std::int64_t> timestamps);
// The sample times of equidistant segments, in order.
PyObject* segment_times_to_array(const std::vector<qel::Segment>& segments);

}  // namespace qelpy
