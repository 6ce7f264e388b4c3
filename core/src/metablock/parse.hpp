#pragma once

#include <cstdint>
#include <span>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Reads a metablock of the given format version: XML for 4, JSON for 5.
Result<MetaBlock> parse_metablock(std::uint32_t version, std::span<const std::uint8_t> bytes);

// Judges a metablock by its first bytes, before the rest is read: the error
// when they cannot begin one of this version (the one its parse ends with, or
// for JSON whose value is not an object, that the root must be one); nothing
// when they can, or are all white space.
Status check_opening(std::uint32_t version, std::span<const std::uint8_t> first);

}  // namespace qel
