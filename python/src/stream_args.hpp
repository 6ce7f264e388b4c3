#pragma once

#include <string>
#include <vector>

#include "module.hpp"
#include "qel/writer.hpp"

namespace qelpy {

// A path argument: str, bytes or os.PathLike, in the file system's encoding.
// False with TypeError or ValueError (an embedded null character) set.
bool convert_fs_path(PyObject* value, const char* name, std::string& out);

// The `channels` argument of StreamWriter: a sequence of (name, data_type,
// channel_type) tuples or of dicts with those keys and any keyword of
// WriterBuilder.add_channel. A channel's index is its position. String and
// binary channels get 4-byte length fields unless the entry says otherwise.
// False with an exception naming the entry set.
bool convert_channels(PyObject* value, std::vector<qel::ChannelDef>& out);

// None or a (latitude, longitude, altitude) sequence of numbers.
bool convert_location(PyObject* value, qel::FileInfoDraft& info);

}  // namespace qelpy
