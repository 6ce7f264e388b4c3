#include "file_info.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"

namespace qelpy {
namespace {

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// Sets `key` to the new reference `value`; false with a Python error set.
bool set_new(PyObject* dict, const char* key, PyObject* value) {
  const PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool set_text(PyObject* dict, const char* key, const std::optional<std::string>& value) {
  return !value || set_new(dict, key, text(*value));
}

bool set_number(PyObject* dict, const char* key, const std::optional<double>& value) {
  return !value || set_new(dict, key, PyFloat_FromDouble(*value));
}

struct TextKey {
  std::optional<std::string> qel::FileInfo::*member;
  const char* key;
};

// Python names of the members; the namespace separator is spelled out.
constexpr std::array<TextKey, 6> kTextKeys{{
    {&qel::FileInfo::creator, "creator"},
    {&qel::FileInfo::tag, "tag"},
    {&qel::FileInfo::reason, "reason"},
    {&qel::FileInfo::comment, "comment"},
    {&qel::FileInfo::created_utc, "created_utc"},
    {&qel::FileInfo::namespacesep, "namespace_separator"},
}};

PyObject* info_entry(const qel::Info& info) {
  PyRef entry(PyDict_New());
  if (!entry || !set_new(entry.get(), "name", text(info.name)) ||
      !set_new(entry.get(), "value", text(info.value)) ||
      !set_new(
          entry.get(), "data_type",
          text(qel::DataType(info.datatype.sample_type()).wire_spelling().value_or("string"))) ||
      !set_text(entry.get(), "physical_unit", info.physicalunit)) {
    return nullptr;
  }
  return entry.release();
}

PyObject* info_list(const std::vector<qel::Info>& infos) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(infos.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < infos.size(); ++i) {
    PyObject* entry = info_entry(infos[i]);
    if (entry == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list.release();
}

}  // namespace

PyObject* file_info_dict(const qel::MetaBlock& meta) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const TextKey& field : kTextKeys) {
    if (!set_text(dict.get(), field.key, meta.file.*field.member)) return nullptr;
  }
  if (!set_number(dict.get(), "latitude", meta.file.created_at_latitude) ||
      !set_number(dict.get(), "longitude", meta.file.created_at_longitude) ||
      !set_number(dict.get(), "altitude", meta.file.created_at_altitude) ||
      (!meta.infos.empty() && !set_new(dict.get(), "infos", info_list(meta.infos)))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace qelpy
