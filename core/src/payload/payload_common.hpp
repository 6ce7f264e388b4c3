#pragma once

#include <string>

#include "common/byte_order.hpp"
#include "payload/payload.hpp"
#include "qel/error.hpp"

namespace qel::payload_detail {

inline std::unexpected<Error> payload_error(std::string message) {
  return std::unexpected(Error::invalid_block_payload(std::move(message)));
}

// The sample count: a u32 with the multi-sample flag, else 1.
inline Result<std::uint32_t> read_count(PayloadCursor& cursor, bool multi_sample,
                                        const char* message) {
  if (!multi_sample) return 1;
  if (cursor.remaining() < 4) return payload_error(message);
  const std::uint32_t n = load_le<std::uint32_t>(cursor.here());
  cursor.advance(4);
  return n;
}

inline constexpr const char* kMultiSampleN = "multi-sample N: failed to fill whole buffer";

}  // namespace qel::payload_detail
