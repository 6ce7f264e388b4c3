#pragma once

#include "module.hpp"
#include "qel/data_channel.hpp"
#include "qel/manager.hpp"
#include "qel/stats.hpp"

namespace qelpy {

// The module's classes, created on first use and kept for the life of the
// process (borrowed references); nullptr with a Python error set.
PyObject* data_manager_class();
PyObject* channel_class();
PyObject* segment_class();
PyObject* reader_stats_class();
PyObject* writer_builder_class();
PyObject* stream_writer_class();

// New instances holding their own copy of the value.
PyObject* new_data_manager(qel::DataManager manager);
PyObject* new_channel(const qel::Channel& channel);
PyObject* new_segment(const qel::Segment& segment);
PyObject* new_reader_stats(const qel::ReaderStats& stats);

// The manager inside a `DataManager` object, or nullptr if `object` is not one.
const qel::DataManager* data_manager_of(PyObject* object);

// The module functions `load`, `save` and `open`, each a table of one entry
// and the end marker.
extern PyMethodDef load_function[];
extern PyMethodDef save_function[];
extern PyMethodDef open_function[];

}  // namespace qelpy
