#pragma once

#include "module.hpp"
#include "qel/data_channel.hpp"

namespace qelpy {

// A new dict of the definition fields a channel has no property for, under
// the keyword names of `WriterBuilder.add_channel`: comment,
// physical_dimension, mime_type, reference, time_increment_ns (the stored
// number), spectrum_type (its wire spelling) and size_of_length_value. A key
// is absent when its field is unset; the width is always set.
PyObject* channel_metadata_dict(const qel::ChannelMeta& meta);

}  // namespace qelpy
