// The magic header line, as text and as the first line of a stream.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "container/header.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)qel::parse_magic_header_line(text);

  qel::MemoryInputStream stream({data, size});
  const auto header = qel::parse_magic_header(stream);
  if (!header) return 0;
  // Success needs a line feed, and nothing after it may have been consumed.
  const auto newline = text.find('\n');
  if (newline == std::string_view::npos || newline > qel::kMaxHeaderLineBytes) __builtin_trap();
  std::uint8_t next = 0;
  const auto got = stream.read({&next, 1});
  const bool rest = newline + 1 < size;
  if (!got || *got != (rest ? 1u : 0u) || (rest && next != data[newline + 1])) __builtin_trap();
  return 0;
}
