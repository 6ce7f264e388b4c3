#pragma once

// The attributes of the XML reader's tags, read from their written text.

#include <cstddef>
#include <expected>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "qel/error.hpp"

namespace qel::meta_xml {

// Attribute name -> unescaped value. Attribute order is not kept.
using Attributes = std::map<std::string, std::string, std::less<>>;

inline constexpr std::string_view kUnescapePrefix = "attribute unescape error: ";
inline constexpr std::string_view kParsePrefix = "attribute parse error: ";

inline bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Why a tag's attributes could not be read, and where within the tag.
struct AttrFailure {
  bool unescape;
  std::string message;
  std::size_t offset;
};

// The attributes of a written tag, "<name ...>" or "<name .../>".
std::expected<Attributes, AttrFailure> scan_attrs(std::string_view tag);

// Reads the attributes of the start or empty-element tag at `tag_offset` of
// `document` from its written text ("<channel index=\"1\" ...>" or ".../>").
// Values have the five predefined entities and character references replaced
// and nothing else (no whitespace normalisation). Failures are MetablockXml:
// "attribute parse error: ..." for a malformed or repeated attribute,
// "attribute unescape error: ..." for any other entity reference or a bad
// character reference, positioned as line and column of the document.
Result<Attributes> collect_attrs(std::string_view document, std::size_t tag_offset,
                                 std::size_t tag_length);

// "line L, column C" of a byte offset, both 1-based, the column counted in
// characters.
std::string position_text(std::string_view document, std::size_t offset);

}  // namespace qel::meta_xml
