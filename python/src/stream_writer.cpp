#include "qel/stream_writer.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "classes.hpp"
#include "error.hpp"
#include "py_ref.hpp"
#include "sample_methods.hpp"
#include "stream_args.hpp"
#include "writer_object.hpp"

namespace qelpy {
namespace {

constexpr const char* kClosed = "StreamWriter already closed by close()";

// What a `StreamWriter` object holds. Calls run without the interpreter lock
// under `lock`, so threads may share one writer; `closed` is read with the
// interpreter lock only.
struct StreamState {
  struct Shared {
    std::mutex lock;
    std::atomic<bool> closed = false;
  };
  std::optional<qel::StreamWriter> writer;
  std::unique_ptr<Shared> shared;
  PyRef path;
};

StreamState& state_of(PyObject* self) {
  return unbox<StreamState>(self);
}

// Runs `call` on the writer without the interpreter lock, once the writer is
// free; nullopt if it was closed meanwhile.
template <class F>
std::optional<qel::Status> run_locked(StreamState& state, F&& call) {
  return without_gil([&]() -> std::optional<qel::Status> {
    const std::lock_guard guard(state.shared->lock);
    if (state.shared->closed) return std::nullopt;
    return std::forward<F>(call)(*state.writer);
  });
}

struct StreamTarget {
  using Core = qel::StreamWriter;
  static qel::StreamWriter* open(PyObject* self) {
    StreamState& state = state_of(self);
    if (state.shared->closed) {
      raise_qel_error(kClosed);
      return nullptr;
    }
    return &*state.writer;
  }
  template <class F>
  static PyObject* run(PyObject* self, F&& call) {
    std::optional<qel::Status> status = run_locked(state_of(self), std::forward<F>(call));
    if (!status) return raise_qel_error(kClosed);
    return samples::done(std::move(*status));
  }
};

// flush(), sync() and close(): no arguments, a core call, None.
template <qel::Status (qel::StreamWriter::*kCall)()>
PyObject* stream_call(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (StreamTarget::open(self) == nullptr) return nullptr;
    return StreamTarget::run(self, [](qel::StreamWriter& writer) { return (writer.*kCall)(); });
  });
}

PyObject* stream_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (StreamTarget::open(self) == nullptr) return nullptr;
    StreamState& state = state_of(self);
    return StreamTarget::run(self, [&](qel::StreamWriter& writer) {
      state.shared->closed = true;
      return writer.close();
    });
  });
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  if (StreamTarget::open(self) == nullptr) return nullptr;
  return Py_NewRef(self);
}

// Closes the writer unless it is closed already; never swallows the exception.
PyObject* stream_exit(PyObject* self, PyObject*) {
  if (state_of(self).shared->closed) return Py_NewRef(Py_False);
  PyObject* closed = stream_close(self, nullptr);
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  return Py_NewRef(Py_False);
}

PyObject* stream_closed(PyObject* self, void*) {
  return PyBool_FromLong(state_of(self).shared->closed ? 1 : 0);
}

PyObject* stream_repr(PyObject* self) {
  const StreamState& state = state_of(self);
  if (state.shared->closed)
    return PyUnicode_FromFormat("StreamWriter(%R, closed)", state.path.get());
  return PyUnicode_FromFormat("StreamWriter(%R, channels=%zu)", state.path.get(),
                              state.writer->channels().size());
}

struct StreamArgs {
  std::string path;
  std::vector<qel::ChannelDef> channels;
  qel::FileInfoDraft info;
  qel::IntegrityProfile integrity = qel::IntegrityProfile::none;
  qel::ExistingFile existing = qel::ExistingFile::refuse;
};

bool convert_stream_args(PyObject* args, PyObject* kwargs, StreamArgs& out, PyRef& path_object) {
  static const char* const names[] = {"path",     "channels",  "integrity", "creator",
                                      "tag",      "reason",    "comment",   "namespace_sep",
                                      "location", "overwrite", nullptr};
  PyObject *path = nullptr, *channels = nullptr, *integrity = Py_None, *location = Py_None;
  PyObject* texts[5] = {Py_None, Py_None, Py_None, Py_None, Py_None};
  int overwrite = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOOOOOOp:StreamWriter", keywords(names),
                                   &path, &channels, &integrity, &texts[0], &texts[1], &texts[2],
                                   &texts[3], &texts[4], &location, &overwrite)) {
    return false;
  }
  std::optional<std::string> integrity_text;
  std::optional<std::string>* fields[5] = {&out.info.creator, &out.info.tag, &out.info.reason,
                                           &out.info.comment, &out.info.namespace_sep};
  if (!convert_fs_path(path, "path", out.path) || !convert_channels(channels, out.channels) ||
      !convert_arg(integrity, "integrity", integrity_text) ||
      (integrity_text && !parse_integrity(*integrity_text, out.integrity)) ||
      !convert_location(location, out.info)) {
    return false;
  }
  for (std::size_t i = 0; i < 5; ++i) {
    if (!convert_arg(texts[i], names[3 + i], *fields[i])) return false;
  }
  out.existing = overwrite != 0 ? qel::ExistingFile::replace : qel::ExistingFile::refuse;
  path_object = PyRef(PyOS_FSPath(path));
  return static_cast<bool>(path_object);
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    StreamArgs parsed;
    PyRef path;
    if (!convert_stream_args(args, kwargs, parsed, path)) return nullptr;
    qel::Result<qel::StreamWriter> writer = without_gil([&] {
      return qel::StreamWriter::create(parsed.path, parsed.info, std::move(parsed.channels),
                                       parsed.integrity, parsed.existing);
    });
    if (!writer) return convert_error(std::move(writer).error());
    return box(
        reinterpret_cast<PyObject*>(type),
        StreamState{std::move(*writer), std::make_unique<StreamState::Shared>(), std::move(path)});
  });
}

PyMethodDef stream_methods[] = {
    {"add_equidistant_segment", as_method(samples::add_equidistant_segment<StreamTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_equidistant_segment($self, channel, start_ns, sample_rate_hz, values)\n--\n\n"
     "Write an equidistant segment (a 1D `float32` or `float64` array).\n"
     "A segment at the rate of the channel's last one that starts where\n"
     "that one's next sample would lie continues it."},
    {"add_timestamped_samples", as_method(samples::add_timestamped_samples<StreamTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_timestamped_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Write timestamped numeric samples: a 1D `int64` array of\n"
     "timestamps and a 1D array of the channel's numeric dtype."},
    {"add_gps_samples", as_method(samples::add_gps_samples<StreamTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_gps_samples($self, channel, timestamps_ns, positions)\n--\n\n"
     "Write timestamped GPS samples: an `(n, 3)` `float64` array of\n"
     "latitude, longitude and altitude."},
    {"add_string_samples", as_method(samples::add_string_samples<StreamTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_string_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Write timestamped string samples."},
    {"add_binary_samples", as_method(samples::add_binary_samples<StreamTarget>),
     METH_VARARGS | METH_KEYWORDS,
     "add_binary_samples($self, channel, timestamps_ns, values)\n--\n\n"
     "Write timestamped binary samples."},
    {"flush", as_method(stream_call<&qel::StreamWriter::flush>), METH_NOARGS,
     "flush($self)\n--\n\n"
     "Write every buffered sample out as blocks and hand them to the\n"
     "operating system: they survive a crash of the process."},
    {"sync", as_method(stream_call<&qel::StreamWriter::sync>), METH_NOARGS,
     "sync($self)\n--\n\n"
     "`flush()`, then `fsync` the file (and its directory once), so\n"
     "that the samples survive a crash of the system as well."},
    {"close", as_method(stream_close), METH_NOARGS,
     "close($self)\n--\n\n"
     "Flush and close the file. Every later call raises `QelError`."},
    {"__enter__", as_method(stream_enter), METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", as_method(stream_exit), METH_VARARGS,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
     "Close the writer unless it is closed already."},
    {},
};

PyGetSetDef stream_properties[] = {
    {"closed", stream_closed, nullptr, "Whether `close()` was called.", nullptr},
    {},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "StreamWriter(path, channels, *, integrity=None, creator=None, tag=None, "
         "reason=None, comment=None, namespace_sep=None, location=None, overwrite=False)\n--\n\n"
         "`qel.StreamWriter` — records a QEL5 file while samples arrive.\n\n"
         "`channels` is a sequence of `(name, data_type, channel_type)` tuples\n"
         "or of dicts with those keys and any keyword of\n"
         "`WriterBuilder.add_channel`; a channel's index is its position.\n"
         "String and binary channels get 4-byte length fields unless told\n"
         "otherwise. The file is created at once (an existing file is\n"
         "refused unless `overwrite=True`); each channel buffers at most one\n"
         "block, and every prefix of the file loads. Use it as a context\n"
         "manager, or call `close()`.")},
    {Py_tp_new, as_slot(stream_new)},
    {Py_tp_dealloc, as_slot(dealloc_boxed<StreamState>)},
    {Py_tp_repr, as_slot(stream_repr)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_properties},
    {},
};

PyType_Spec stream_table = {
    "qel.StreamWriter", sizeof(Boxed<StreamState>), 0, kClassFlags, stream_slots,
};

PyObject* stream_class_cache = nullptr;

}  // namespace

PyObject* stream_writer_class() {
  return class_from_table(stream_class_cache, stream_table);
}

}  // namespace qelpy
