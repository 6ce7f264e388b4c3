#pragma once

#include <cstdint>
#include <string_view>

namespace qel {

enum class CompressionFormat : std::uint8_t { none = 0, zlib = 1, gzip = 2 };

// "none", "zlib", "gzip".
std::string_view to_string(CompressionFormat format) noexcept;

}  // namespace qel
