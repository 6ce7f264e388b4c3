#include "file_object.hpp"

#include <string>

#include "args.hpp"
#include "boxed.hpp"
#include "channel_lookup.hpp"
#include "py_ref.hpp"

namespace qelpy {

std::shared_ptr<const qel::File> live_file(PyObject* self) {
  std::shared_ptr<const qel::File> file = unbox<FileHandle>(self).file;
  if (file == nullptr) PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
  return file;
}

void note_path(const std::string& path) {
  if (!PyErr_ExceptionMatches(qel_error_type())) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const std::string note = "file: " + path;
  const PyRef text(
      PyUnicode_DecodeFSDefaultAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  const PyRef added(text ? PyObject_CallMethod(value, "add_note", "O", text.get()) : nullptr);
  // The error itself matters more than its note.
  if (!added) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

bool convert_window(PyObject* start, PyObject* stop, qel::TimeWindow& out) {
  return convert_arg(start, "start_ns", out.start_ns) && convert_arg(stop, "stop_ns", out.stop_ns);
}

const qel::Channel* channel_named(const qel::File& file, PyObject* name) {
  return find_named(name, [&](std::string_view key) { return file.channel_info(key); });
}

}  // namespace qelpy
