#include "channel_arrays.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "numpy_convert.hpp"
#include "py_ref.hpp"
#include "qel/error.hpp"

namespace qelpy {
namespace {

// What to call instead, by what the channel holds.
const char* list_hint(const qel::Channel& channel) {
  if (channel.as_strings()) return "holds strings; call samples() for a list of str";
  if (channel.as_binaries()) return "holds binaries; call samples() for a list of bytes";
  return "holds no numeric samples";
}

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// A new list holding one Python object per element.
template <class Make>
PyObject* list_of(const qel::ByteStringList& items, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make(items, i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Whether no byte has its high bit set; without an early exit, so that the
// loop is vectorised.
bool is_ascii(std::span<const std::uint8_t> bytes) noexcept {
  std::uint8_t seen = 0;
  for (const std::uint8_t byte : bytes) seen |= byte;
  return seen < 0x80;
}

// The strings were checked as UTF-8 when loaded. ASCII text is also Latin-1
// text, which CPython makes a str of by copying alone, without the decoding
// pass of UTF-8; one look at the whole channel decides.
PyObject* string_list(const qel::ByteStringList& items) {
  if (is_ascii(items.joined())) {
    return list_of(items, [](const qel::ByteStringList& list, std::size_t i) {
      const std::string_view value = list.text(i);
      return PyUnicode_DecodeLatin1(value.data(), static_cast<Py_ssize_t>(value.size()), nullptr);
    });
  }
  return list_of(items,
                 [](const qel::ByteStringList& list, std::size_t i) { return text(list.text(i)); });
}

PyObject* bytes_list(const qel::ByteStringList& items) {
  return list_of(items, [](const qel::ByteStringList& list, std::size_t i) {
    const auto bytes = list[i];
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  });
}

}  // namespace

PyObject* variable_samples(const qel::Channel& channel) {
  if (const auto strings = channel.as_strings()) return string_list(**strings);
  if (const auto binaries = channel.as_binaries()) return bytes_list(**binaries);
  return Py_NewRef(Py_None);
}

const qel::NumericValues* numeric_values(const qel::Channel& channel) noexcept {
  if (const auto* storage = std::get_if<qel::EquidistantStorage>(&channel.storage)) {
    return &storage->values;
  }
  if (const auto* storage = std::get_if<qel::TimestampedStorage>(&channel.storage)) {
    return &storage->values;
  }
  return nullptr;
}

PyObject* numeric_samples_array(const qel::Channel& channel) {
  if (const qel::NumericValues* values = numeric_values(channel)) return values_to_array(*values);
  const std::string message = "channel " + qel::quoted(channel.name) + " " + list_hint(channel);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

}  // namespace qelpy
