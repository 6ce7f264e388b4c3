#pragma once

// The version-5 JSON metablock reader.

#include <cstdint>
#include <span>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Parses the metablock of a version-5 file; the result has format_version 5.
Result<MetaBlock> parse_metablock_json(std::span<const std::uint8_t> bytes);

}  // namespace qel
