#pragma once

// The version-4 XML metablock reader, on Expat.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Parses the metablock of a version-4 file; the result has format_version 4.
Result<MetaBlock> parse_metablock_xml(std::span<const std::uint8_t> bytes);

namespace meta_xml {

// Attribute name -> unescaped value. Attribute order is not kept.
using Attributes = std::map<std::string, std::string, std::less<>>;

// Reads the attributes of one start or empty-element tag from its written
// text ("<channel index=\"1\" ...>" or ".../>"). Values have the five
// predefined entities and character references replaced and nothing else
// (no whitespace normalisation). Failures are MetablockXml: "attribute parse
// error: ..." for a malformed or repeated attribute, "attribute unescape
// error: ..." for any other entity reference or a bad character reference.
Result<Attributes> collect_attrs(std::string_view tag);

// The same for a tag that starts at `tag_offset` of `document`; positions in
// the messages are given as line and column of the document.
Result<Attributes> collect_attrs(std::string_view document, std::size_t tag_offset,
                                 std::size_t tag_length);

// An absent attribute gives nothing; otherwise a float or InvalidMetablock
// "<velmaris {key}={value}> is not a float: {reason}".
Result<std::optional<double>> parse_optional_f64(const Attributes& attributes,
                                                 std::string_view key);

// The attribute timeincrement: nothing, a signed 64-bit value or
// InvalidMetablock "attribute timeincrement={value} is not an int: {reason}".
Result<std::optional<std::int64_t>> parse_optional_i64(const Attributes& attributes);

// One <channel>; `position` counts the channels read so far in the document.
Result<meta::Channel> parse_channel_attrs(const Attributes& attributes, std::size_t position);

// The attributes of the root element <velmaris>.
Result<FileInfo> parse_velmaris_attrs(const Attributes& attributes);

// One <info>.
Result<Info> parse_info_attrs(const Attributes& attributes);

// "line L, column C" of a byte offset, both 1-based, the column counted in
// characters.
std::string position_text(std::string_view document, std::size_t offset);

}  // namespace meta_xml
}  // namespace qel
