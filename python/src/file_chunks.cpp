#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "boxed.hpp"
#include "file_object.hpp"
#include "py_ref.hpp"

namespace qelpy {
namespace {

// An iterator over one channel's chunks. It holds the File object, to see
// whether it was closed, and its own reference to the file for the reads.
struct ChunkIterator {
  PyRef owner;
  std::shared_ptr<const qel::File> file;
  std::unique_ptr<qel::ChunkCursor> cursor;
  // Set while a chunk is read without the interpreter lock: the cursor
  // serves one reader at a time.
  bool busy = false;
};

PyObject* chunk_pair(qel::ChannelPiece& chunk) {
  PyRef timestamps(take_timestamps(chunk));
  if (!timestamps) return nullptr;
  PyRef samples(take_samples(chunk.channel));
  if (!samples) return nullptr;
  return PyTuple_Pack(2, timestamps.get(), samples.get());
}

PyObject* chunk_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    ChunkIterator& iterator = unbox<ChunkIterator>(self);
    if (!iterator.cursor) return nullptr;
    if (!live_file(iterator.owner.get())) return nullptr;
    if (iterator.busy) {
      PyErr_SetString(PyExc_ValueError, "iter_chunks iterator already executing");
      return nullptr;
    }
    iterator.busy = true;
    std::optional<std::optional<qel::ChannelPiece>> chunk =
        run_core(iterator.file->path(), [&] { return iterator.cursor->next(); });
    iterator.busy = false;
    if (!chunk) return nullptr;
    if (!*chunk) {
      // Exhausted: the file and the cursor's buffers are let go at once.
      iterator.cursor.reset();
      iterator.file.reset();
      return nullptr;
    }
    return chunk_pair(**chunk);
  });
}

PyObject* chunk_iter(PyObject* self) {
  return Py_NewRef(self);
}

PyType_Slot chunk_slots[] = {
    {Py_tp_doc, const_cast<char*>("The chunks of one channel of a `qel.File`.")},
    {Py_tp_dealloc, as_slot(dealloc_boxed<ChunkIterator>)},
    {Py_tp_iter, as_slot(chunk_iter)},
    {Py_tp_iternext, as_slot(chunk_next)},
    {},
};

PyType_Spec chunk_table = {
    "qel.ChunkIterator",
    sizeof(Boxed<ChunkIterator>),
    0,
    kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    chunk_slots,
};

PyObject* chunk_class_cache = nullptr;

}  // namespace

PyObject* chunk_iterator_class() {
  return class_from_table(chunk_class_cache, chunk_table);
}

PyObject* file_iter_chunks(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* const names[] = {"name", "max_samples", "start_ns", "stop_ns", nullptr};
    PyObject *name = nullptr, *max_arg = nullptr, *start = Py_None, *stop = Py_None;
    qel::TimeWindow window;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:iter_chunks", keywords(names), &name,
                                     &max_arg, &start, &stop) ||
        !convert_window(start, stop, window)) {
      return nullptr;
    }
    std::int64_t max_samples = 1'048'576;
    if (max_arg != nullptr && !convert_arg(max_arg, "max_samples", max_samples)) return nullptr;
    if (max_samples < 1) {
      PyErr_SetString(PyExc_ValueError, "max_samples must be at least 1");
      return nullptr;
    }
    auto file = live_file(self);
    if (!file) return nullptr;
    const qel::Channel* info = channel_named(*file, name);
    if (info == nullptr) return nullptr;
    auto cursor = run_core(file->path(), [&] {
      return file->chunks(*info, static_cast<std::size_t>(max_samples), window);
    });
    if (!cursor) return nullptr;
    return box(chunk_iterator_class(),
               ChunkIterator{PyRef::borrow(self), std::move(file), std::move(*cursor)});
  });
}

}  // namespace qelpy
