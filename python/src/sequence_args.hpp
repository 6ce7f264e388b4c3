#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "module.hpp"
#include "py_ref.hpp"

namespace qelpy {

// A sequence of str read as UTF-8 views into the str objects, which it keeps
// alive.
class StringsArg {
 public:
  // False with TypeError "argument '<name>': ..." unless `value` is a sequence
  // of str (a single str is refused).
  bool convert(PyObject* value, const char* name);
  std::span<const std::string_view> views() const noexcept { return views_; }

 private:
  std::vector<PyRef> items_;
  std::vector<std::string_view> views_;
};

// A sequence of bytes-like objects (read in place through the buffer
// protocol) or sequences of integers 0 to 255 (copied).
class BinariesArg {
 public:
  BinariesArg() = default;
  BinariesArg(const BinariesArg&) = delete;
  BinariesArg& operator=(const BinariesArg&) = delete;
  ~BinariesArg();

  bool convert(PyObject* value, const char* name);
  std::span<const std::span<const std::uint8_t>> views() const noexcept { return views_; }

 private:
  bool convert_item(PyObject* item, const char* name, Py_ssize_t position);
  bool convert_integers(PyObject* item, const char* name);

  std::vector<Py_buffer> buffers_;
  std::vector<std::vector<std::uint8_t>> copies_;
  std::vector<std::span<const std::uint8_t>> views_;
};

}  // namespace qelpy
