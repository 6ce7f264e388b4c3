#include "channel_arrays.hpp"

#include <string>
#include <variant>

#include "numpy_convert.hpp"
#include "qel/error.hpp"

namespace qelpy {
namespace {

// What to call instead, by what the channel holds.
const char* list_hint(const qel::Channel& channel) {
  if (channel.as_strings()) return "holds strings; call samples() for a list of str";
  if (channel.as_binaries()) return "holds binaries; call samples() for a list of bytes";
  return "holds no numeric samples";
}

}  // namespace

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
