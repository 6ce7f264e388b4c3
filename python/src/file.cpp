#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "channel_lookup.hpp"
#include "classes.hpp"
#include "file_info.hpp"
#include "file_object.hpp"
#include "frames_bridge.hpp"
#include "py_ref.hpp"
#include "stream_args.hpp"

namespace qelpy {
namespace {

PyObject* channel_or_none(const qel::File& file, const qel::Channel* info) {
  if (info == nullptr) return Py_NewRef(Py_None);
  std::optional<qel::ChannelPiece> piece =
      run_core(file.path(), [&] { return file.read_channel(*info); });
  return piece ? new_channel(piece->channel) : nullptr;
}

PyObject* file_channel(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!unpack_one(args, kwargs, "O:channel", "name", name)) return nullptr;
    const auto file = live_file(self);
    if (!file) return nullptr;
    return channel_or_none(*file, file->channel_info(name));
  });
}

PyObject* file_channel_by_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::uint16_t index = 0;
    if (!unpack_one(args, kwargs, "O:channel_by_index", "index", index)) return nullptr;
    const auto file = live_file(self);
    if (!file) return nullptr;
    return channel_or_none(*file, file->channel_info_by_index(index));
  });
}

PyObject* file_subscript(PyObject* self, PyObject* name) {
  return guarded([&]() -> PyObject* {
    const auto file = live_file(self);
    if (!file) return nullptr;
    const qel::Channel* info = channel_named(*file, name);
    return info ? channel_or_none(*file, info) : nullptr;
  });
}

int file_contains(PyObject* self, PyObject* name) {
  const auto file = live_file(self);
  if (!file) return -1;
  return contains_channel(name, [&](std::string_view key) { return file->channel_info(key); });
}

Py_ssize_t file_len(PyObject* self) {
  const auto file = live_file(self);
  return file ? static_cast<Py_ssize_t>(file->channels().size()) : -1;
}

PyObject* get_names(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto file = live_file(self);
    return file ? channel_names(file->channels()) : nullptr;
  });
}

PyObject* get_file_info(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto file = live_file(self);
    return file ? file_info_dict(file->meta()) : nullptr;
  });
}

PyObject* get_truncated(PyObject* self, void*) {
  const auto file = live_file(self);
  return file ? PyBool_FromLong(file->truncated()) : nullptr;
}

PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(unbox<FileHandle>(self).file == nullptr);
}

PyObject* file_close(PyObject* self, PyObject*) {
  // Reads under way keep their own reference; the file is closed when the
  // last of them ends.
  unbox<FileHandle>(self).file.reset();
  return Py_NewRef(Py_None);
}

PyObject* file_enter(PyObject* self, PyObject*) {
  const auto file = live_file(self);
  return file ? Py_NewRef(self) : nullptr;
}

PyObject* file_exit(PyObject* self, PyObject*) {
  unbox<FileHandle>(self).file.reset();
  return Py_NewRef(Py_False);
}

PyObject* file_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const auto& file = unbox<FileHandle>(self).file;
    if (file == nullptr) return PyUnicode_FromString("File(closed)");
    const PyRef path(PyUnicode_DecodeFSDefaultAndSize(
        file->path().data(), static_cast<Py_ssize_t>(file->path().size())));
    if (!path) return nullptr;
    return PyUnicode_FromFormat("File(path=%R, channels=%zu)", path.get(), file->channels().size());
  });
}

PyObject* open_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", "strict", nullptr};
    PyObject* path_arg = nullptr;
    int strict = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:open", keywords(names), &path_arg,
                                     &strict)) {
      return nullptr;
    }
    std::string path;
    if (!convert_fs_path(path_arg, "path", path)) return nullptr;
    const qel::OpenOptions options{.strict = strict != 0};
    auto file = run_core(path, [&] { return qel::File::open(path, options); });
    if (!file) return nullptr;
    return box(file_class(), FileHandle{std::move(*file)});
  });
}

std::array file_methods = with_frames_methods({
    {"channel", as_method(file_channel), METH_VARARGS | METH_KEYWORDS,
     "channel($self, name)\n--\n\n"
     "The channel of that name with all its samples, as `qel.load` gives\n"
     "it, or `None` if the file has none by that name."},
    {"channel_by_index", as_method(file_channel_by_index), METH_VARARGS | METH_KEYWORDS,
     "channel_by_index($self, index)\n--\n\n"
     "The channel of that on-disk index, or `None`."},
    {"samples", as_method(file_samples), METH_VARARGS | METH_KEYWORDS,
     "samples($self, name, *, start_ns=None, stop_ns=None)\n--\n\n"
     "The samples of one channel with `start_ns <= t < stop_ns` (a bound\n"
     "that is None does not cut), as `Channel.samples()` gives them: a NumPy\n"
     "array filled straight from the file, or a list for strings and\n"
     "binaries. Only that channel's blocks are read. KeyError for a name\n"
     "the file does not have."},
    {"timestamps_ns", as_method(file_timestamps), METH_VARARGS | METH_KEYWORDS,
     "timestamps_ns($self, name, *, start_ns=None, stop_ns=None)\n--\n\n"
     "The int64 timestamps of those samples, as `Channel.timestamps_ns()`\n"
     "gives them."},
    {"iter_chunks", as_method(file_iter_chunks), METH_VARARGS | METH_KEYWORDS,
     "iter_chunks($self, name, *, max_samples=1048576, start_ns=None, stop_ns=None)\n--\n\n"
     "An iterator of `(timestamps_ns, samples)` pairs of at most\n"
     "`max_samples` samples each, in order; only one chunk is held at a\n"
     "time. Concatenated they are the arrays of `timestamps_ns()` and\n"
     "`samples()`."},
    {"read", as_method(file_read), METH_VARARGS | METH_KEYWORDS,
     "read($self, names=None, *, start_ns=None, stop_ns=None)\n--\n\n"
     "A `DataManager` of the channels named (all when None), cut to the\n"
     "window: an equidistant segment cut by it keeps its rate and starts at\n"
     "its first kept sample. KeyError for a name the file does not have."},
    {"close", file_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Closes the file; reads under way in other threads finish first. Any\n"
     "later use raises ValueError."},
    {"__enter__", file_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", file_exit, METH_VARARGS,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nCloses the file."},
});

PyGetSetDef file_properties[] = {
    {"names", get_names, nullptr,
     "Names of the channels in metablock order (those `qel.load` returns),\n"
     "as a new list.",
     nullptr},
    {"file_info", get_file_info, nullptr,
     "The file-level information as a new dict (see DataManager.file_info).", nullptr},
    {"truncated", get_truncated, nullptr, "Whether the block area was cut off within a block.",
     nullptr},
    {"closed", get_closed, nullptr, "Whether the file is closed.", nullptr},
    {},
};

PyType_Slot file_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("`qel.File` — a recording opened by `qel.open` without loading it.\n\n"
                       "Reads decode only the blocks of the channels and times asked for.\n"
                       "A File may be read from several threads at once.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<FileHandle>)},
    {Py_tp_repr, as_slot(file_repr)},
    {Py_sq_length, as_slot(file_len)},
    {Py_sq_contains, as_slot(file_contains)},
    {Py_mp_subscript, as_slot(file_subscript)},
    {Py_tp_methods, file_methods.data()},
    {Py_tp_getset, file_properties},
    {},
};

PyType_Spec file_table = {
    "qel.File", sizeof(Boxed<FileHandle>), 0, kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    file_slots,
};

PyObject* file_class_cache = nullptr;

}  // namespace

PyObject* file_class() {
  return class_from_table(file_class_cache, file_table);
}

PyMethodDef open_function[] = {
    {"open", as_method(open_file), METH_VARARGS | METH_KEYWORDS,
     "open(path, *, strict=False)\n--\n\n"
     "Opens a QEL file (plain or compressed) without loading it: the header\n"
     "line and metablock are read and checked as `qel.load` checks them, and\n"
     "the blocks are indexed. Returns a `qel.File`, a context manager.\n"
     "strict=True raises QelError for a file that is truncated, has CRC\n"
     "failures or skipped blocks, which are otherwise tolerated as the load\n"
     "tolerates them. Releases the GIL while it reads."},
    {},
};

}  // namespace qelpy
