#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "channel_lookup.hpp"
#include "classes.hpp"
#include "error.hpp"
#include "file_info.hpp"
#include "frames_bridge.hpp"
#include "log_bridge.hpp"
#include "manager_container.hpp"

namespace qelpy {
namespace {

const qel::DataManager& manager_of(PyObject* self) {
  return unbox<qel::DataManager>(self);
}

PyObject* channel_or_none(const qel::Channel* channel) {
  return channel ? new_channel(*channel) : Py_NewRef(Py_None);
}

PyObject* manager_channel(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!unpack_one(args, kwargs, "O:channel", "name", name)) return nullptr;
    return channel_or_none(manager_of(self).channel(name));
  });
}

PyObject* manager_channel_by_index(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::uint16_t index = 0;
    if (!unpack_one(args, kwargs, "O:channel_by_index", "index", index)) return nullptr;
    return channel_or_none(manager_of(self).channel_by_index(index));
  });
}

PyObject* get_channels(PyObject* self, void*) {
  return guarded([&] { return channel_list(manager_of(self).channels()); });
}

PyObject* get_names(PyObject* self, void*) {
  return guarded([&] { return channel_names(manager_of(self).channels()); });
}

PyObject* get_file_info(PyObject* self, void*) {
  return guarded([&] { return file_info_dict(manager_of(self).meta()); });
}

PyObject* get_stats(PyObject* self, void*) {
  return guarded([&] { return new_reader_stats(manager_of(self).stats()); });
}

Py_ssize_t manager_len(PyObject* self) {
  return static_cast<Py_ssize_t>(manager_of(self).channels().size());
}

PyObject* manager_repr(PyObject* self) {
  const qel::DataManager& manager = manager_of(self);
  return PyUnicode_FromFormat("DataManager(channels=%zu, compressed=%s)", manager.channels().size(),
                              manager.stats().compressed ? "true" : "false");
}

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:load", keywords(names), &path_arg)) {
      return nullptr;
    }
    std::string path;
    if (!convert_path(path_arg, "path", path)) return nullptr;
    LogBridge log;
    if (!log.prepare()) return nullptr;
    SignalCheck signals;
    auto loaded =
        run_released(log, signals, [&] { return qel::DataManager::load_from_file(path); });
    if (!log.replay() || signals.raise_caught()) return nullptr;
    if (!loaded) return convert_error(std::move(loaded).error());
    return new_data_manager(std::move(*loaded));
  });
}

std::array manager_methods = with_frames_methods({
    {"channel", as_method(manager_channel), METH_VARARGS | METH_KEYWORDS,
     "channel($self, name)\n--\n\n"
     "Look up a channel by its fully qualified name. Returns `None`\n"
     "if no channel by that name exists. Channel-by-name access is\n"
     "the documented mandatory form per DECISIONS §10."},
    {"channel_by_index", as_method(manager_channel_by_index), METH_VARARGS | METH_KEYWORDS,
     "channel_by_index($self, index)\n--\n\n"
     "Look up a channel by its on-disk index. Returns `None` if no\n"
     "channel uses that index. Optional access form per DECISIONS §10."},
});

PyGetSetDef manager_properties[] = {
    {"channels", get_channels, nullptr, "Full list of channels in metablock order.", nullptr},
    {"names", get_names, nullptr, "Names of the channels in metablock order, as a new list.",
     nullptr},
    {"file_info", get_file_info, nullptr,
     "The file-level information as a new dict: creator, tag, reason,\n"
     "comment, created_utc, namespace_separator, latitude, longitude and\n"
     "altitude, and infos (a list of dicts of name, value, data_type and\n"
     "physical_unit); a key is absent when the file does not give it.",
     nullptr},
    {"stats", get_stats, nullptr,
     "Read-time statistics: file/section sizes, elapsed time,\n"
     "compression status, per-channel counters.",
     nullptr},
    {},
};

PyType_Slot manager_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("`qel.DataManager` — read-only, in-memory view of a parsed QEL file.\n\n"
                       "Construct via [`load`]. The underlying `DataManager` lives behind\n"
                       "the wrapper; channel access methods clone the relevant\n"
                       "`Channel` for hand-off to Python.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<qel::DataManager>)},
    {Py_tp_repr, as_slot(manager_repr)},
    {Py_sq_length, as_slot(manager_len)},
    {Py_sq_contains, as_slot(manager_contains)},
    {Py_mp_subscript, as_slot(manager_subscript)},
    {Py_tp_iter, as_slot(manager_iter)},
    {Py_tp_methods, manager_methods.data()},
    {Py_tp_getset, manager_properties},
    {},
};

PyType_Spec manager_table = {
    "qel.DataManager",
    sizeof(Boxed<qel::DataManager>),
    0,
    kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    manager_slots,
};

PyObject* manager_class_cache = nullptr;

}  // namespace

PyObject* data_manager_class() {
  return class_from_table(manager_class_cache, manager_table);
}

PyObject* new_data_manager(qel::DataManager manager) {
  return box(data_manager_class(), std::move(manager));
}

const qel::DataManager* data_manager_of(PyObject* object) {
  PyObject* type = data_manager_class();
  if (type == nullptr || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    return nullptr;
  }
  return &manager_of(object);
}

PyMethodDef load_function[] = {
    {"load", as_method(load), METH_VARARGS | METH_KEYWORDS,
     "load(path)\n--\n\n"
     "`qel.load(path)` — open an QEL file (plain or QELZ) and assemble\n"
     "the `DataManager`. Detects gzip / zlib compression transparently.\n\n"
     "Releases the GIL during file I/O and parsing so other Python\n"
     "threads stay responsive on large files."},
    {},
};

}  // namespace qelpy
