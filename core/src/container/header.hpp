#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/stream.hpp"

namespace qel {

// The facts of the magic header line.
struct MagicHeader {
  std::uint32_t version = 5;
  std::uint64_t metablock_len = 0;
  std::optional<std::uint32_t> metablock_crc32c;
  IntegrityProfile integrity = IntegrityProfile::none;
};

// Longest header line, a CR included, before its LF.
inline constexpr std::size_t kMaxHeaderLineBytes = 128;

// Reads the header line one byte at a time, so nothing after its LF is consumed.
Result<MagicHeader> parse_magic_header(InputStream& stream);

// Parses the text of a header line without its terminator.
Result<MagicHeader> parse_magic_header_line(std::string_view line);

}  // namespace qel
