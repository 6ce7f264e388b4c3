#pragma once

#include "module.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// The values of a channel that has a NumPy form (numeric and GPS samples);
// nullptr for string and binary channels.
const qel::NumericValues* numeric_values(const qel::Channel& channel) noexcept;

// A new list of the samples of a string (str) or binary (bytes) channel;
// None for other channels.
PyObject* variable_samples(const qel::Channel& channel);

// A new array of the channel's numeric samples (GPS as (n, 3)); nullptr with
// TypeError naming the channel for string and binary channels, which have no
// array form, so that no object array is ever made of them.
PyObject* numeric_samples_array(const qel::Channel& channel);

}  // namespace qelpy
