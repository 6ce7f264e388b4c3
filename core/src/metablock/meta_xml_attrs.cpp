#include <algorithm>
#include <string>
#include <utility>

#include "metablock/meta_xml_attrs.hpp"

// Attribute values are unescaped from the written text of each tag, so that
// exactly the five predefined entities and character references are accepted,
// whatever a DOCTYPE declares.

namespace qel::meta_xml {
namespace {

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// XML 1.0 Char production.
bool is_xml_char(std::uint32_t cp) noexcept {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Replaces the predefined entities and character references of one written
// attribute value; `base` is the value's offset within the tag.
std::expected<std::string, AttrFailure> unescape(std::string_view raw, std::size_t base) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t amp = raw.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(raw.substr(i));
      break;
    }
    out.append(raw.substr(i, amp - i));
    const std::size_t semi = raw.find(';', amp + 1);
    if (semi == std::string_view::npos) {
      return std::unexpected(AttrFailure{true, "unterminated reference", base + amp});
    }
    const std::string_view ref = raw.substr(amp + 1, semi - amp - 1);
    const std::string written(raw.substr(amp, semi - amp + 1));
    if (!ref.empty() && ref.front() == '#') {
      const bool hex = ref.size() > 1 && ref[1] == 'x';
      const std::string_view digits = ref.substr(hex ? 2 : 1);
      std::uint32_t cp = 0;
      bool ok = !digits.empty() && digits.size() <= 8;
      for (const char c : digits) {
        if (!ok) break;
        std::uint32_t d = 0;
        if (c >= '0' && c <= '9') {
          d = static_cast<std::uint32_t>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
          d = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
          d = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
          ok = false;
          break;
        }
        cp = cp * (hex ? 16U : 10U) + d;
      }
      if (!ok || !is_xml_char(cp)) {
        return std::unexpected(
            AttrFailure{true, "invalid character reference " + written, base + amp});
      }
      append_utf8(out, cp);
    } else if (ref == "lt") {
      out += '<';
    } else if (ref == "gt") {
      out += '>';
    } else if (ref == "amp") {
      out += '&';
    } else if (ref == "apos") {
      out += '\'';
    } else if (ref == "quot") {
      out += '"';
    } else {
      return std::unexpected(
          AttrFailure{true,
                      "entity reference " + written +
                          " is not one of the predefined entities (lt, gt, amp, apos, quot)",
                      base + amp});
    }
    i = semi + 1;
  }
  return out;
}

Error attr_error(const AttrFailure& failure, std::string_view document, std::size_t tag_offset) {
  return Error::metablock_xml(std::string(failure.unescape ? kUnescapePrefix : kParsePrefix) +
                              failure.message + " at " +
                              position_text(document, tag_offset + failure.offset));
}

}  // namespace

// The attributes of a written tag, "<name ...>" or "<name .../>".
std::expected<Attributes, AttrFailure> scan_attrs(std::string_view tag) {
  const auto fail = [](std::string message, std::size_t at) {
    return std::unexpected(AttrFailure{false, std::move(message), at});
  };
  const std::size_t n = tag.size();
  if (n == 0 || tag[0] != '<') return fail("tag does not start with '<'", 0);
  std::size_t i = 1;
  while (i < n && !is_space(tag[i]) && tag[i] != '/' && tag[i] != '>') ++i;
  Attributes attributes;
  while (true) {
    while (i < n && is_space(tag[i])) ++i;
    if (i >= n) return fail("unexpected end of tag", i);
    if (tag[i] == '>') break;
    if (tag[i] == '/') {
      if (i + 1 < n && tag[i + 1] == '>') break;
      return fail("'/' not followed by '>'", i);
    }
    const std::size_t key_start = i;
    while (i < n && !is_space(tag[i]) && tag[i] != '=' && tag[i] != '/' && tag[i] != '>') ++i;
    std::string key(tag.substr(key_start, i - key_start));
    while (i < n && is_space(tag[i])) ++i;
    if (i >= n || tag[i] != '=') return fail("attribute " + key + " has no value", key_start);
    ++i;
    while (i < n && is_space(tag[i])) ++i;
    if (i >= n || (tag[i] != '"' && tag[i] != '\'')) {
      return fail("value of attribute " + key + " is not quoted", i);
    }
    const char quote = tag[i];
    const std::size_t value_start = i + 1;
    const std::size_t value_end = tag.find(quote, value_start);
    if (value_end == std::string_view::npos) {
      return fail("unterminated value of attribute " + key, i);
    }
    auto value = unescape(tag.substr(value_start, value_end - value_start), value_start);
    if (!value) {
      value.error().message += " in attribute " + key;
      return std::unexpected(std::move(value).error());
    }
    if (attributes.contains(key)) return fail("duplicate attribute " + key, key_start);
    attributes.emplace(std::move(key), std::move(*value));
    i = value_end + 1;
  }
  return attributes;
}

std::string position_text(std::string_view document, std::size_t offset) {
  if (offset > document.size()) offset = document.size();
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    const auto byte = static_cast<unsigned char>(document[i]);
    if (byte == '\n') {
      ++line;
      column = 1;
    } else if ((byte & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

Result<Attributes> collect_attrs(std::string_view document, std::size_t tag_offset,
                                 std::size_t tag_length) {
  auto attributes = scan_attrs(document.substr(tag_offset, tag_length));
  if (!attributes) return std::unexpected(attr_error(attributes.error(), document, tag_offset));
  return std::move(*attributes);
}

}  // namespace qel::meta_xml
