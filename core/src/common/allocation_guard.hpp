#pragma once

#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "qel/error.hpp"

namespace qel {

// Runs `work` so that running out of memory is its error, not an exception
// leaving the library. What the work builds allocates nothing while it is
// destroyed, so the unwinding itself needs no memory.
template <class Work>
std::invoke_result_t<Work> failed_allocation_as_error(Work&& work) {
  prepare_error_path();
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::out_of_memory());
  } catch (const std::length_error&) {
    return std::unexpected(Error::out_of_memory());
  }
}

}  // namespace qel
