#pragma once

// Attribute scanning shared by the XML reader and its attribute helpers.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "qel/meta_xml.hpp"

namespace qel::meta_xml {

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

}  // namespace qel::meta_xml
