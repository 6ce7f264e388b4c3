#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "channel_arrays.hpp"
#include "classes.hpp"
#include "file_object.hpp"
#include "numpy_handover.hpp"
#include "numpy_include.hpp"
#include "numpy_memory.hpp"
#include "py_ref.hpp"

namespace qelpy {
namespace {

// The arguments of samples() and timestamps_ns(): a channel and a window.
struct ChannelRead {
  std::shared_ptr<const qel::File> file;
  const qel::Channel* info = nullptr;
  qel::TimeWindow window;
};

bool parse_channel_read(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                        ChannelRead& out) {
  static const char* const names[] = {"name", "start_ns", "stop_ns", nullptr};
  PyObject *name = nullptr, *start = Py_None, *stop = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &name, &start, &stop) ||
      !convert_window(start, stop, out.window)) {
    return false;
  }
  out.file = live_file(self);
  if (!out.file) return false;
  out.info = channel_named(*out.file, name);
  return out.info != nullptr;
}

qel::NumericValues* values_of(qel::Channel& channel) noexcept {
  if (auto* storage = std::get_if<qel::EquidistantStorage>(&channel.storage)) {
    return &storage->values;
  }
  if (auto* storage = std::get_if<qel::TimestampedStorage>(&channel.storage)) {
    return &storage->values;
  }
  return nullptr;
}

// Names given to read(): None, one str, or a sequence of str.
bool convert_names(PyObject* value, std::optional<std::vector<std::string>>& out) {
  if (value == Py_None) return true;
  if (PyUnicode_Check(value)) return convert_arg(value, "names", out.emplace().emplace_back());
  if (PyBytes_Check(value) || PySequence_Check(value) == 0) {
    raise_wrong_type("names", "a sequence of str or None", value);
    return false;
  }
  const PyRef items(PySequence_Tuple(value));
  if (!items) return false;
  auto& names = out.emplace();
  for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
    if (!convert_arg(PyTuple_GetItem(items.get(), i), "names", names.emplace_back())) return false;
  }
  return true;
}

}  // namespace

PyObject* take_samples(qel::Channel& channel) {
  if (qel::NumericValues* values = values_of(channel)) return adopt_values(std::move(*values));
  return variable_samples(channel);
}

PyObject* take_timestamps(qel::ChannelPiece& piece) {
  if (auto* storage = std::get_if<qel::TimestampedStorage>(&piece.channel.storage)) {
    return adopt_timestamps(std::move(storage->timestamps));
  }
  if (auto* storage = std::get_if<qel::VariableChannel>(&piece.channel.storage)) {
    return adopt_timestamps(std::move(storage->timestamps));
  }
  npy_intp dims[] = {static_cast<npy_intp>(piece.channel.sample_count())};
  PyObject* array = new_empty_array(1, dims, NPY_INT64);
  if (array == nullptr) return nullptr;
  auto* out = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  qel::fill_original_times(piece, std::span(out, static_cast<std::size_t>(dims[0])));
  return array;
}

PyObject* file_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ChannelRead read;
    if (!parse_channel_read(self, args, kwargs, "O|$OO:samples", read)) return nullptr;
    std::optional<qel::ChannelPiece> piece = run_core(
        read.file->path(), [&] { return read.file->read_channel(*read.info, read.window); });
    return piece ? take_samples(piece->channel) : nullptr;
  });
}

PyObject* file_timestamps(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ChannelRead read;
    if (!parse_channel_read(self, args, kwargs, "O|$OO:timestamps_ns", read)) return nullptr;
    std::optional<qel::ChannelPiece> piece = run_core(
        read.file->path(), [&] { return read.file->read_channel(*read.info, read.window); });
    return piece ? take_timestamps(*piece) : nullptr;
  });
}

PyObject* file_read(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"names", "start_ns", "stop_ns", nullptr};
    PyObject *names_arg = Py_None, *start = Py_None, *stop = Py_None;
    std::optional<std::vector<std::string>> chosen;
    qel::TimeWindow window;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO:read", keywords(names), &names_arg,
                                     &start, &stop) ||
        !convert_names(names_arg, chosen) || !convert_window(start, stop, window)) {
      return nullptr;
    }
    const auto file = live_file(self);
    if (!file) return nullptr;
    for (const std::string& name : chosen ? *chosen : std::vector<std::string>{}) {
      if (file->channel_info(name) == nullptr) {
        const PyRef key(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (key) PyErr_SetObject(PyExc_KeyError, key.get());
        return nullptr;
      }
    }
    std::optional<std::span<const std::string>> selection;
    if (chosen) selection.emplace(*chosen);
    std::optional<qel::DataManager> manager =
        run_core(file->path(), [&] { return file->read(selection, window); });
    return manager ? new_data_manager(std::move(*manager)) : nullptr;
  });
}

}  // namespace qelpy
