#pragma once

#include "module.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// The values of a channel that has a NumPy form (numeric and GPS samples);
// nullptr for string and binary channels.
const qel::NumericValues* numeric_values(const qel::Channel& channel) noexcept;

// A new array of the channel's numeric samples (GPS as (n, 3)); nullptr with
// TypeError naming the channel for string and binary channels, which have no
// array form, so that no object array is ever made of them.
PyObject* numeric_samples_array(const qel::Channel& channel);

}  // namespace qelpy
