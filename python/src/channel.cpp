#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "array_protocol.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "channel_arrays.hpp"
#include "channel_metadata.hpp"
#include "classes.hpp"
#include "frames_bridge.hpp"
#include "numpy_convert.hpp"
#include "py_ref.hpp"
#include "qel/error.hpp"

namespace qelpy {
namespace {

const qel::Channel& channel_of(PyObject* self) {
  return unbox<qel::Channel>(self);
}

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : Py_NewRef(Py_None);
}

// ByteArray has no spelling of its own and reports as "binary".
std::string_view data_type_spelling(const qel::DataType& type) {
  return qel::DataType(type.sample_type()).wire_spelling().value_or("unsupported");
}

PyObject* channel_samples(PyObject* self, PyObject*) {
  return guarded([&] {
    const qel::Channel& channel = channel_of(self);
    if (const qel::NumericValues* values = numeric_values(channel)) return values_to_array(*values);
    return variable_samples(channel);
  });
}

PyObject* channel_numeric_samples(PyObject* self, PyObject*) {
  return guarded([&] { return numeric_samples_array(channel_of(self)); });
}

PyObject* channel_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return array_protocol(args, kwargs, [&] { return numeric_samples_array(channel_of(self)); });
  });
}

Py_ssize_t channel_len(PyObject* self) {
  return static_cast<Py_ssize_t>(channel_of(self).sample_count());
}

// A channel is truthy whether or not it holds samples, so that
// `if manager.channel(name):` means "found", not "has samples".
int channel_bool(PyObject*) {
  return 1;
}

PyObject* channel_timestamps(PyObject* self, PyObject*) {
  return guarded([&] {
    const qel::Channel& channel = channel_of(self);
    if (const auto* storage = std::get_if<qel::EquidistantStorage>(&channel.storage)) {
      return segment_times_to_array(storage->segments);
    }
    if (const auto* storage = std::get_if<qel::TimestampedStorage>(&channel.storage)) {
      return timestamps_to_array(storage->timestamps.view());
    }
    return timestamps_to_array(std::get<qel::VariableChannel>(channel.storage).timestamps.view());
  });
}

PyObject* channel_repr(PyObject* self) {
  return guarded([&] {
    const qel::Channel& channel = channel_of(self);
    const std::string repr = "Channel(index=" + std::to_string(channel.index) +
                             ", name=" + qel::quoted(channel.name) +
                             ", data_type=" + qel::quoted(data_type_spelling(channel.data_type)) +
                             ", channel_type=" + qel::quoted(channel.storage_kind()) +
                             ", sample_count=" + std::to_string(channel.sample_count()) + ")";
    return text(repr);
  });
}

PyObject* get_index(PyObject* self, void*) {
  return PyLong_FromLong(channel_of(self).index);
}

PyObject* get_name(PyObject* self, void*) {
  return text(channel_of(self).name);
}

PyObject* get_data_type(PyObject* self, void*) {
  return text(data_type_spelling(channel_of(self).data_type));
}

PyObject* get_channel_type(PyObject* self, void*) {
  return text(channel_of(self).storage_kind());
}

PyObject* get_sample_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(channel_of(self).sample_count());
}

PyObject* get_is_empty(PyObject* self, void*) {
  return PyBool_FromLong(channel_of(self).is_empty());
}

PyObject* get_display_name(PyObject* self, void*) {
  return optional_text(channel_of(self).meta.display_name);
}

PyObject* get_physical_unit(PyObject* self, void*) {
  return optional_text(channel_of(self).meta.physical_unit);
}

PyObject* get_metadata(PyObject* self, void*) {
  return guarded([&] { return channel_metadata_dict(channel_of(self).meta); });
}

PyObject* get_segments(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto* storage = std::get_if<qel::EquidistantStorage>(&channel_of(self).storage);
    const std::size_t count = storage ? storage->segments.size() : 0;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* segment = new_segment(storage->segments[i]);
      if (segment == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), segment);
    }
    return list.release();
  });
}

PyMethodDef channel_methods[] = {
    {"samples", channel_samples, METH_NOARGS,
     "samples($self)\n--\n\n"
     "Sample values as a NumPy array (numeric / GPS) or a Python\n"
     "list (string / binary)."},
    {"timestamps_ns", channel_timestamps, METH_NOARGS,
     "timestamps_ns($self)\n--\n\n"
     "`int64` NumPy array of per-sample timestamps in nanoseconds.\n"
     "For equidistant channels the timestamps are reconstructed\n"
     "from segments on the fly; for timestamped / variable channels\n"
     "the stored timestamps are returned directly."},
    {"numeric_samples", channel_numeric_samples, METH_NOARGS,
     "numeric_samples($self)\n--\n\n"
     "Numeric samples as a new NumPy array (GPS positions as an\n"
     "`(n, 3)` float64 array). Raises `TypeError` for string and\n"
     "binary channels, whose samples `samples()` returns as lists."},
    {"__array__", as_method(channel_array), METH_VARARGS | METH_KEYWORDS,
     "__array__($self, dtype=None, copy=None)\n--\n\n"
     "The numeric samples for `np.asarray(channel)`, as\n"
     "`numeric_samples()` gives them, cast to `dtype` if one is given.\n"
     "The array is always a new copy, so `copy=False` raises `ValueError`."},
    {"to_pandas", as_method(frames_method<kChannelToPandas>), METH_VARARGS | METH_KEYWORDS,
     kChannelToPandasDoc},
    {},
};

PyGetSetDef channel_properties[] = {
    {"index", get_index, nullptr, "Channel index from the metablock.", nullptr},
    {"name", get_name, nullptr, "Fully qualified channel name.", nullptr},
    {"data_type", get_data_type, nullptr,
     "Datatype as the on-disk wire spelling: `\"double\"`, `\"int32\"`,\n"
     "`\"string\"`, `\"binary\"`, `\"gpslocation\"`, …",
     nullptr},
    {"channel_type", get_channel_type, nullptr,
     "Storage classification: `\"equidistant\"`, `\"timestamped\"`, or\n"
     "`\"variable\"`. This is how the manager grouped the channel,\n"
     "not the on-disk `channeltype` attribute (which is usually\n"
     "`\"scalar\"` for everything).",
     nullptr},
    {"sample_count", get_sample_count, nullptr,
     "Total sample count across all segments (for equidistant).", nullptr},
    {"is_empty", get_is_empty, nullptr, "`True` when the channel holds zero samples.", nullptr},
    {"display_name", get_display_name, nullptr, "Optional display name.", nullptr},
    {"physical_unit", get_physical_unit, nullptr,
     "Optional physical-unit string (e.g. `\"°C\"`, `\"bar\"`).", nullptr},
    {"metadata", get_metadata, nullptr,
     "The remaining definition fields as a new dict: `comment`,\n"
     "`physical_dimension`, `mime_type`, `reference`,\n"
     "`time_increment_ns`, `spectrum_type` and `size_of_length_value`;\n"
     "a key is absent when its field is unset.",
     nullptr},
    {"segments", get_segments, nullptr,
     "Equidistant-segment list. Empty list for non-equidistant\nchannels.", nullptr},
    {},
};

PyType_Slot channel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Typed in-memory channel, exposed as `qel.Channel`.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<qel::Channel>)},
    {Py_tp_repr, as_slot(channel_repr)},
    {Py_sq_length, as_slot(channel_len)},
    {Py_nb_bool, as_slot(channel_bool)},
    {Py_tp_methods, channel_methods},
    {Py_tp_getset, channel_properties},
    {},
};

PyType_Spec channel_table = {
    "qel.Channel", sizeof(Boxed<qel::Channel>), 0, kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    channel_slots,
};

PyObject* channel_class_cache = nullptr;

}  // namespace

PyObject* channel_class() {
  return class_from_table(channel_class_cache, channel_table);
}

PyObject* new_channel(const qel::Channel& channel) {
  return box(channel_class(), channel);
}

}  // namespace qelpy
