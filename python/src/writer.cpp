#include <array>
#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "classes.hpp"
#include "error.hpp"
#include "log_bridge.hpp"
#include "py_ref.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/types.hpp"
#include "sample_methods.hpp"
#include "writer_object.hpp"

namespace qelpy {
namespace {

using qel::WriterBuilder;

bool raise_value_error(const std::string& message) {
  const PyRef text(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return false;
}

WriterState& state_of(PyObject* self) {
  return unbox<WriterState>(self);
}

// Marks the object as being written for the lifetime of the flag.
class WritingFlag {
 public:
  explicit WritingFlag(bool& flag) noexcept : flag_(flag) { flag_ = true; }
  ~WritingFlag() { flag_ = false; }
  WritingFlag(const WritingFlag&) = delete;
  WritingFlag& operator=(const WritingFlag&) = delete;

 private:
  bool& flag_;
};

// A builder-style method that replaces one text field; returns self.
template <WriterBuilder (WriterBuilder::*Setter)(std::string) &&, const char* Format>
PyObject* set_text(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string value;
    if (!unpack_one(args, kwargs, Format, "value", value)) return nullptr;
    WriterBuilder* builder = open_builder(self);
    if (builder == nullptr) return nullptr;
    *builder = (std::move(*builder).*Setter)(std::move(value));
    return Py_NewRef(self);
  });
}

constexpr char kCreatorFormat[] = "O:creator";
constexpr char kTagFormat[] = "O:tag";
constexpr char kReasonFormat[] = "O:reason";
constexpr char kCommentFormat[] = "O:comment";
constexpr char kNamespaceSepFormat[] = "O:namespace_sep";

PyObject* writer_location(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"lat", "lon", "alt", nullptr};
    PyObject *lat_arg = nullptr, *lon_arg = nullptr, *alt_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:location", keywords(names), &lat_arg,
                                     &lon_arg, &alt_arg)) {
      return nullptr;
    }
    double lat = 0.0, lon = 0.0, alt = 0.0;
    if (!convert_arg(lat_arg, "lat", lat) || !convert_arg(lon_arg, "lon", lon) ||
        !convert_arg(alt_arg, "alt", alt)) {
      return nullptr;
    }
    WriterBuilder* builder = open_builder(self);
    if (builder == nullptr) return nullptr;
    builder->set_location(lat, lon, alt);
    return Py_NewRef(self);
  });
}

PyObject* writer_with_integrity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string text;
    qel::IntegrityProfile profile = qel::IntegrityProfile::none;
    if (!unpack_one(args, kwargs, "O:with_integrity", "profile", text) ||
        !parse_integrity(text, profile)) {
      return nullptr;
    }
    WriterBuilder* builder = open_builder(self);
    if (builder == nullptr) return nullptr;
    builder->set_integrity(profile);
    return Py_NewRef(self);
  });
}

bool parse_channel_types(const std::string& data_type, const std::string& channel_type,
                         qel::ChannelDef& def) {
  const auto data_id = qel::data_type_from_wire(data_type);
  if (!data_id) {
    return raise_value_error("unknown data_type " + qel::quoted(data_type) +
                             "; expected one of bool, int8..int64, uint8..uint64, float, double, "
                             "string, binary, gpslocation");
  }
  const auto channel_id = qel::channel_type_from_wire(channel_type);
  if (!channel_id) {
    return raise_value_error("unknown channel_type " + qel::quoted(channel_type) +
                             "; expected scalar, vector, matrix, or binary");
  }
  def.data_type = *data_id;
  def.channel_type = *channel_id;
  return true;
}

PyObject* writer_add_channel(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    qel::ChannelDef def;
    bool width_given = false;
    if (!parse_channel_def(args, kwargs, "OOO|$OOOOOOOO:add_channel", def, width_given)) {
      return nullptr;
    }
    WriterBuilder* builder = open_builder(self);
    if (builder == nullptr) return nullptr;
    qel::Result<std::uint16_t> index = builder->add_channel(std::move(def));
    if (!index) return convert_error(std::move(index).error());
    return PyLong_FromLong(*index);
  });
}

PyObject* writer_write_to_file(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    std::string path;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:write_to_file", keywords(names), &path_arg) ||
        !convert_path(path_arg, "path", path)) {
      return nullptr;
    }
    LogBridge log;
    if (!log.prepare() || open_builder(self) == nullptr) return nullptr;
    WriterState& state = state_of(self);
    WriterBuilder builder = std::move(*state.builder);
    state.builder.reset();
    SignalCheck signals;
    qel::Status written = [&] {
      const WritingFlag flag(state.writing);
      return run_released(log, signals,
                          [&] { return qel::write_to_file(std::move(builder), path); });
    }();
    if (!log.replay() || signals.raise_caught()) return nullptr;
    if (!written) return convert_error(std::move(written).error());
    return Py_NewRef(Py_None);
  });
}

// The sample methods call the core at once, with the lock held.
struct BuilderTarget {
  using Core = WriterBuilder;
  static WriterBuilder* open(PyObject* self) { return open_builder(self); }
  template <class F>
  static PyObject* run(PyObject* self, F&& call) {
    return samples::done(std::forward<F>(call)(*open_builder(self)));
  }
};

PyObject* writer_repr(PyObject* self) {
  const WriterState& state = state_of(self);
  if (!state.builder) return PyUnicode_FromString("WriterBuilder(consumed)");
  return PyUnicode_FromFormat("WriterBuilder(channels=%zu)", state.builder->channel_count());
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":WriterBuilder", keywords(names))) {
      return nullptr;
    }
    return box(reinterpret_cast<PyObject*>(type), WriterState{WriterBuilder(), false});
  });
}

PyMethodDef writer_methods[] = {
    {"creator", as_method(set_text<&WriterBuilder::creator, kCreatorFormat>),
     METH_VARARGS | METH_KEYWORDS, "creator($self, value)\n--\n\nSet the `creator` field."},
    {"tag", as_method(set_text<&WriterBuilder::tag, kTagFormat>), METH_VARARGS | METH_KEYWORDS,
     "tag($self, value)\n--\n\nSet the `tag` field."},
    {"reason", as_method(set_text<&WriterBuilder::reason, kReasonFormat>),
     METH_VARARGS | METH_KEYWORDS, "reason($self, value)\n--\n\nSet the `reason` field."},
    {"comment", as_method(set_text<&WriterBuilder::comment, kCommentFormat>),
     METH_VARARGS | METH_KEYWORDS,
     "comment($self, value)\n--\n\nSet the free-form `comment` field."},
    {"namespace_sep", as_method(set_text<&WriterBuilder::namespace_sep, kNamespaceSepFormat>),
     METH_VARARGS | METH_KEYWORDS,
     "namespace_sep($self, value)\n--\n\nSet the namespace separator (default `.`)."},
    {"location", as_method(writer_location), METH_VARARGS | METH_KEYWORDS,
     "location($self, lat, lon, alt)\n--\n\n"
     "Set GPS location (latitude / longitude in decimal degrees,\n"
     "altitude in meters)."},
    {"with_integrity", as_method(writer_with_integrity), METH_VARARGS | METH_KEYWORDS,
     "with_integrity($self, profile)\n--\n\n"
     "Enable the integrity profile. `profile=\"crc32c\"` emits a metablock\n"
     "`crc32c` header token and a per-block frame CRC32C; `profile=\"none\"`\n"
     "(default) writes no integrity data. Signing (`\"ed25519\"`) is not\n"
     "supported by the writer."},
    {"add_channel", as_method(writer_add_channel), METH_VARARGS | METH_KEYWORDS,
     "add_channel($self, name, data_type, channel_type, *, physical_unit=None, "
     "physical_dimension=None, display_name=None, mime_type=None, reference=None, "
     "comment=None, size_of_length_value=2, time_increment_ns=None)\n--\n\n"
     "Register a channel definition. Returns the channel index that\n"
     "must be passed to subsequent `add_*` calls."},
    {"add_equidistant_segment", as_method(samples::add_equidistant_segment<BuilderTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_equidistant_segment($self, channel, start_ns, sample_rate_hz, values)\n--\n\n"
     "Append an equidistant segment. `values` must be a 1D NumPy\n"
     "array of `float32` or `float64` (spec rev 2026-05-04 limits\n"
     "equidistant blocks to those two types)."},
    {"add_timestamped_samples", as_method(samples::add_timestamped_samples<BuilderTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_timestamped_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Append timestamped numeric samples. `timestamps_ns` must be a\n"
     "1D `int64` array; `values` may be any of the supported\n"
     "numeric dtypes; the channel's declared data type decides\n"
     "which one."},
    {"add_gps_samples", as_method(samples::add_gps_samples<BuilderTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_gps_samples($self, channel, timestamps_ns, positions)\n--\n\n"
     "Append timestamped GPS samples to a `gpslocation` channel.\n"
     "`timestamps_ns` must be a 1D `int64` array and `positions` an\n"
     "`(n, 3)` `float64` array of latitude, longitude and altitude."},
    {"add_string_samples", as_method(samples::add_string_samples<BuilderTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_string_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Append timestamped string samples."},
    {"add_binary_samples", as_method(samples::add_binary_samples<BuilderTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_binary_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Append timestamped binary samples (each sample is a `bytes`\n"
     "object on the Python side)."},
    {"write_to_file", as_method(writer_write_to_file), METH_VARARGS | METH_KEYWORDS,
     "write_to_file($self, path)\n--\n\n"
     "Serialise the file to `path`. Consumes the builder; subsequent\n"
     "calls raise `QelError`."},
    {},
};

PyType_Slot writer_slots[] = {
    // The signature line is what inspect.signature reads; Python leaves it out
    // of __doc__.
    {Py_tp_doc,
     const_cast<char*>("WriterBuilder()\n--\n\n"
                       "`qel.WriterBuilder` — accumulator for QEL5 file construction.\n\n"
                       "All builder-style methods return `self` for chaining. `add_*`\n"
                       "methods mutate in place and return `None`. `write_to_file`\n"
                       "consumes the builder.")},
    {Py_tp_new, as_slot(writer_new)},
    {Py_tp_dealloc, as_slot(dealloc_boxed<WriterState>)},
    {Py_tp_repr, as_slot(writer_repr)},
    {Py_tp_methods, writer_methods},
    {},
};

PyType_Spec writer_table = {
    "qel.WriterBuilder", sizeof(Boxed<WriterState>), 0, kClassFlags, writer_slots,
};

PyObject* writer_class_cache = nullptr;

}  // namespace

PyObject* writer_builder_class() {
  return class_from_table(writer_class_cache, writer_table);
}

qel::WriterBuilder* open_builder(PyObject* self) {
  WriterState& state = state_of(self);
  if (state.writing) {
    PyErr_SetString(PyExc_RuntimeError, "WriterBuilder is in use by write_to_file()");
    return nullptr;
  }
  if (!state.builder) {
    raise_qel_error("WriterBuilder already consumed by write_to_file()");
    return nullptr;
  }
  return &*state.builder;
}

bool parse_channel_def(PyObject* args, PyObject* kwargs, const char* format, qel::ChannelDef& def,
                       bool& width_given) {
  static const char* const names[] = {"name",
                                      "data_type",
                                      "channel_type",
                                      "physical_unit",
                                      "physical_dimension",
                                      "display_name",
                                      "mime_type",
                                      "reference",
                                      "comment",
                                      "size_of_length_value",
                                      "time_increment_ns",
                                      nullptr};
  // Absent keywords stay None, except the width, which keeps its default.
  std::array<PyObject*, 11> a{};
  a.fill(Py_None);
  a[9] = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &a[0], &a[1], &a[2],
                                   &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9], &a[10])) {
    return false;
  }
  std::string data_type, channel_type;
  if (!convert_arg(a[0], names[0], def.name) || !convert_arg(a[1], names[1], data_type) ||
      !convert_arg(a[2], names[2], channel_type) ||
      !convert_arg(a[3], names[3], def.physical_unit) ||
      !convert_arg(a[4], names[4], def.physical_dimension) ||
      !convert_arg(a[5], names[5], def.display_name) ||
      !convert_arg(a[6], names[6], def.mime_type) || !convert_arg(a[7], names[7], def.reference) ||
      !convert_arg(a[8], names[8], def.comment) ||
      (a[9] != nullptr && !convert_arg(a[9], names[9], def.size_of_length_value)) ||
      !convert_arg(a[10], names[10], def.time_increment_ns) ||
      !parse_channel_types(data_type, channel_type, def)) {
    return false;
  }
  width_given = a[9] != nullptr;
  return true;
}

bool parse_integrity(const std::string& text, qel::IntegrityProfile& out) {
  const auto profile = qel::integrity_profile_named(text);
  if (profile && *profile != qel::IntegrityProfile::ed25519) {
    out = *profile;
    return true;
  }
  if (profile) {
    return raise_value_error("integrity 'ed25519' (signing) is not supported by the writer");
  }
  return raise_value_error("unknown integrity " + qel::quoted(text) +
                           "; expected 'none' or 'crc32c'");
}

}  // namespace qelpy
