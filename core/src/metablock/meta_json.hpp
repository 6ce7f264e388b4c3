#pragma once

// The version-5 JSON metablock reader.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Parses the metablock of a version-5 file; the result has format_version 5.
Result<MetaBlock> parse_metablock_json(std::span<const std::uint8_t> bytes);

namespace meta_json {

// The document tree. nlohmann's default object type is a std::map keyed by
// std::string, so keys are visited in ascending byte order (std::char_traits<char>
// compares as unsigned char), and its DOM parser assigns every value through
// operator[], so a later duplicate key replaces an earlier one.
using Json = nlohmann::json;

// The text rule: null gives nothing, a string its text, any other value its
// compact JSON text (42, true, [1,2]). Works on any nesting depth without
// recursion.
std::optional<std::string> value_to_string(const Json& value);

// The compact JSON text of any value, as nlohmann's dump() writes it.
std::string compact_text(const Json& value);

// Writes the debug records for envelope keys other than file, infos,
// channels, version and format.
void log_unknown_top_level_fields(const Json& envelope);

// The integer classification of metablock numbers: written without fraction and exponent
// and within -2^63 ..= 2^64-1. nlohmann stores exactly those as
// number_integer or number_unsigned; everything else is number_float.
bool is_integer(const Json& value) noexcept;

}  // namespace meta_json
}  // namespace qel
