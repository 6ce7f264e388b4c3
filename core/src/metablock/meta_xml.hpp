#pragma once

// The version-4 XML metablock reader, on Expat.

#include <cstdint>
#include <span>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Parses the metablock of a version-4 file; the result has format_version 4.
Result<MetaBlock> parse_metablock_xml(std::span<const std::uint8_t> bytes);

}  // namespace qel
