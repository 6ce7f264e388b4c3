#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "error.hpp"
#include "log_bridge.hpp"
#include "module.hpp"
#include "qel/file.hpp"
#include "signal_check.hpp"

namespace qelpy {

// What a `qel.File` object holds: the open file, or nothing once closed.
// Only touched with the interpreter lock held; a read holds its own copy, so
// that closing during a read leaves the read its file.
struct FileHandle {
  std::shared_ptr<const qel::File> file;
};

PyObject* file_class();
PyObject* chunk_iterator_class();

// The open file of a `File` object; nullptr with ValueError "I/O operation on
// closed file" once it is closed.
std::shared_ptr<const qel::File> live_file(PyObject* self);

// Adds a note naming `path` to the QelError being raised, if one is.
void note_path(const std::string& path);

// The keyword arguments start_ns and stop_ns; false with a Python error set.
bool convert_window(PyObject* start, PyObject* stop, qel::TimeWindow& out);

// The channel description named by the str `name`; nullptr with KeyError
// (or TypeError for a name that is not a str) set.
const qel::Channel* channel_named(const qel::File& file, PyObject* name);

// Runs core `work` returning qel::Result<T> without the interpreter lock,
// the core's diagnostics going to `logging`; the value, or nothing with a
// Python error set (a QelError noted with `path`).
template <class F>
auto run_core(const std::string& path, F&& work)
    -> std::optional<typename std::invoke_result_t<F>::value_type> {
  LogBridge log;
  if (!log.prepare()) return std::nullopt;
  SignalCheck signals;
  auto result = run_released(log, signals, std::forward<F>(work));
  if (!log.replay() || signals.raise_caught()) return std::nullopt;
  if (!result) {
    convert_error(std::move(result).error());
    note_path(path);
    return std::nullopt;
  }
  return std::move(*result);
}

// The samples of a channel just read, taken over without a copy where they
// are numeric (as `Channel.samples()` gives them).
PyObject* take_samples(qel::Channel& channel);
// Their timestamps as the whole channel has them (as `Channel.timestamps_ns()`
// gives them), likewise.
PyObject* take_timestamps(qel::ChannelPiece& piece);

// The methods of `File` that read samples.
PyObject* file_samples(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* file_timestamps(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* file_read(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* file_iter_chunks(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace qelpy
