#include "channel_metadata.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "py_ref.hpp"
#include "qel/types.hpp"

namespace qelpy {
namespace {

// Stores a new reference under `key`; false with an error set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  const PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool put_text(PyObject* dict, const char* key, std::string_view text) {
  return put(dict, key,
             PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool put_optional(PyObject* dict, const char* key, const std::optional<std::string>& text) {
  return !text || put_text(dict, key, *text);
}

bool put_fields(PyObject* dict, const qel::ChannelMeta& meta) {
  return put_optional(dict, "comment", meta.comment) &&
         put_optional(dict, "physical_dimension", meta.physical_dimension) &&
         put_optional(dict, "mime_type", meta.mime_type) &&
         put_optional(dict, "reference", meta.reference) &&
         (!meta.time_increment_ns ||
          put(dict, "time_increment_ns", PyLong_FromLongLong(*meta.time_increment_ns))) &&
         (!meta.spectrum_type ||
          put_text(dict, "spectrum_type", qel::wire_spelling(*meta.spectrum_type))) &&
         put(dict, "size_of_length_value", PyLong_FromLong(meta.size_of_length_value));
}

}  // namespace

PyObject* channel_metadata_dict(const qel::ChannelMeta& meta) {
  PyRef dict(PyDict_New());
  if (!dict || !put_fields(dict.get(), meta)) return nullptr;
  return dict.release();
}

}  // namespace qelpy
