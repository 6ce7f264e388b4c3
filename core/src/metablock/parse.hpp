#pragma once

#include <cstdint>
#include <span>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Reads a metablock of the given format version: XML for 4, JSON for 5.
Result<MetaBlock> parse_metablock(std::uint32_t version, std::span<const std::uint8_t> bytes);

}  // namespace qel
