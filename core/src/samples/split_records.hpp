#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

// Splits `count` little-endian records of an i64 timestamp followed by a
// value of kValueBytes (4 or 8) into a timestamp column and a value column
// (raw bytes of the values, in order), on a little-endian host. Vector code
// where the CPU has it.
template <std::size_t kValueBytes>
void split_records(const std::uint8_t* in, std::size_t count, std::int64_t* times, void* values);

}  // namespace qel
