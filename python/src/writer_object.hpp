#pragma once

#include <optional>
#include <string>

#include "module.hpp"
#include "qel/writer.hpp"

namespace qelpy {

// What a `WriterBuilder` object holds: the core builder until
// `write_to_file` takes it, and whether a write is running without the lock.
struct WriterState {
  std::optional<qel::WriterBuilder> builder;
  bool writing = false;
};

// The builder of an open object; nullptr with QelError set once consumed
// (RuntimeError while another thread is writing it).
qel::WriterBuilder* open_builder(PyObject* self);

// The arguments of add_channel (as `format` names the function) in a
// definition; `width_given` tells whether size_of_length_value was passed.
// False with a Python exception set.
bool parse_channel_def(PyObject* args, PyObject* kwargs, const char* format, qel::ChannelDef& def,
                       bool& width_given);

// "none" or "crc32c"; anything else raises ValueError (false).
bool parse_integrity(const std::string& text, qel::IntegrityProfile& out);

}  // namespace qelpy
