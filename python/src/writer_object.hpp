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

// "none" or "crc32c"; anything else raises ValueError (false).
bool parse_integrity(const std::string& text, qel::IntegrityProfile& out);

// The sample methods of the class.
PyObject* add_equidistant_segment(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_timestamped_samples(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_gps_samples(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_string_samples(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* add_binary_samples(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace qelpy
