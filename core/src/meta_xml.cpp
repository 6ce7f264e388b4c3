#include "qel/meta_xml.hpp"

// Debian's (and upstream's default) libexpat is built with XML_DTD; the
// header declares the amplification controls only under that macro.
#ifndef XML_DTD
#define XML_DTD
#endif
#include <expat.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "qel/log.hpp"
#include "qel/types.hpp"
#include "qel/utf8.hpp"
#include "qel/xml_number.hpp"

// Why Expat and not libxml2:
// - Expat has no global state (no xmlInitParser, no global error handler); one
//   parser per call is all that several loads on several threads need.
// - It never opens a file or a socket itself: without an external-entity
//   handler no external DTD or entity is read, and parameter-entity parsing
//   is off. With a default handler set, references to internal entities in
//   content are passed through unexpanded, and its amplification limit stops
//   an entity bomb in an attribute value early.
// - Every event reports its byte offset and length in the input, so the
//   reader sees the written text of each tag: an empty-element tag is told
//   from a start tag by its "/>", and attribute values are unescaped from the
//   written text, so that exactly the five predefined entities and character
//   references are accepted whatever a DOCTYPE declares.
// - XML_StopParser ends a document at the root's end tag; the reader then
//   starts a new parser on the rest, which gives "after the root's end tag the
//   reader is back before the root" without fighting the library.

namespace qel {
namespace meta_xml {
namespace {

constexpr std::string_view kUnescapePrefix = "attribute unescape error: ";
constexpr std::string_view kParsePrefix = "attribute parse error: ";

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

const std::string* find(const Attributes& attributes, std::string_view key) {
  const auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : &it->second;
}

std::optional<std::string> text_attr(const Attributes& attributes, std::string_view key) {
  if (const std::string* value = find(attributes, key)) return *value;
  return std::nullopt;
}

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

struct AttrFailure {
  bool unescape;
  std::string message;
  std::size_t offset;  // within the tag
};

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

Error attr_error(const AttrFailure& failure, std::string_view document, std::size_t tag_offset) {
  return Error::metablock_xml(std::string(failure.unescape ? kUnescapePrefix : kParsePrefix) +
                              failure.message + " at " +
                              position_text(document, tag_offset + failure.offset));
}

Result<std::uint8_t> size_of_length_value(const Attributes& attributes, const std::string& qname) {
  const std::string* raw = find(attributes, "sizeoflengthvalue");
  if (raw == nullptr) {
    return std::unexpected(Error::invalid_metablock(
        "QEL4 <channel name=" + qname + "> is missing required attribute sizeoflengthvalue"));
  }
  const auto value = xml_number::parse_unsigned(*raw, std::numeric_limits<std::uint32_t>::max());
  if (!value) {
    return std::unexpected(Error::invalid_metablock("QEL4 <channel name=" + qname +
                                                    "> has sizeoflengthvalue=" + quoted(*raw) +
                                                    " (not numeric)"));
  }
  return validate_size_of_length_value(static_cast<std::uint32_t>(*value));
}

}  // namespace

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

Result<Attributes> collect_attrs(std::string_view tag) {
  return collect_attrs(tag, 0, tag.size());
}

Result<Attributes> collect_attrs(std::string_view document, std::size_t tag_offset,
                                 std::size_t tag_length) {
  auto attributes = scan_attrs(document.substr(tag_offset, tag_length));
  if (!attributes) return std::unexpected(attr_error(attributes.error(), document, tag_offset));
  return std::move(*attributes);
}

Result<std::optional<double>> parse_optional_f64(const Attributes& attributes,
                                                 std::string_view key) {
  const std::string* raw = find(attributes, key);
  if (raw == nullptr) return std::optional<double>();
  const auto value = xml_number::parse_f64(*raw);
  if (!value) {
    return std::unexpected(
        Error::invalid_metablock("<velmaris " + std::string(key) + "=" + quoted(*raw) +
                                 "> is not a float: " + std::string(value.error())));
  }
  return std::optional<double>(*value);
}

Result<std::optional<std::int64_t>> parse_optional_i64(const Attributes& attributes) {
  const std::string* raw = find(attributes, "timeincrement");
  if (raw == nullptr) return std::optional<std::int64_t>();
  const auto value = xml_number::parse_i64(*raw);
  if (!value) {
    return std::unexpected(
        Error::invalid_metablock("attribute timeincrement=" + quoted(*raw) +
                                 " is not an int: " + std::string(value.error())));
  }
  return std::optional<std::int64_t>(*value);
}

Result<meta::Channel> parse_channel_attrs(const Attributes& attributes, std::size_t position) {
  const std::string p = std::to_string(position);
  meta::Channel channel;

  const std::string* index = find(attributes, "index");
  if (index == nullptr) {
    return std::unexpected(Error::invalid_metablock("QEL4 <channel> at position " + p +
                                                    " is missing required attribute index"));
  }
  const auto index_value = xml_number::parse_unsigned(*index, 65535);
  if (!index_value) {
    return std::unexpected(Error::invalid_metablock(
        "QEL4 <channel> at position " + p + " has index=" + quoted(*index) + " out of range"));
  }
  channel.index = static_cast<std::uint16_t>(*index_value);

  const std::string* name = find(attributes, "name");
  if (name == nullptr) {
    return std::unexpected(
        Error::invalid_metablock("QEL4 <channel index=" + std::to_string(channel.index) +
                                 "> is missing required attribute name"));
  }
  channel.name = *name;
  const std::string qname = quoted(channel.name);

  const std::string* channeltype = find(attributes, "channeltype");
  if (channeltype == nullptr) {
    return std::unexpected(Error::invalid_metablock("QEL4 <channel name=" + qname +
                                                    "> is missing required attribute channeltype"));
  }
  channel.channeltype = parse_channel_type(*channeltype);

  const std::string* datatype = find(attributes, "datatype");
  if (datatype == nullptr) {
    return std::unexpected(Error::invalid_metablock("QEL4 <channel name=" + qname +
                                                    "> is missing required attribute datatype"));
  }
  QEL_ASSIGN_OR_RETURN(channel.datatype, parse_data_type(*datatype));
  QEL_ASSIGN_OR_RETURN(channel.sizeoflengthvalue, size_of_length_value(attributes, qname));
  QEL_ASSIGN_OR_RETURN(channel.timeincrement, parse_optional_i64(attributes));

  channel.mimetype = text_attr(attributes, "mimetype");
  channel.physicalunit = text_attr(attributes, "physicalunit");
  channel.physicaldimension = text_attr(attributes, "physicaldimension");
  channel.displayname = text_attr(attributes, "displayname");
  channel.comment = text_attr(attributes, "comment");
  channel.reference = text_attr(attributes, "reference");
  if (const std::string* spectrum = find(attributes, "spectrumtype")) {
    channel.spectrumtype = spectrum_type_from_wire(*spectrum);
  }

  for (const auto withdrawn : kWithdrawnChannelFieldNames) {
    if (find(attributes, withdrawn) != nullptr) {
      QEL_WARN(log::kMetaXml, "QEL4 <channel name=" + qname + "> carries deprecated attribute " +
                                  quoted(withdrawn) +
                                  " (removed in spec revision 2026-05-04); ignored");
    }
  }
  for (const auto& [key, value] : attributes) {
    static_cast<void>(value);
    if (!is_one_of(kChannelFieldNames, key) && !is_one_of(kWithdrawnChannelFieldNames, key)) {
      QEL_DEBUG(log::kMetaXml, "QEL4 <channel name=" + qname + "> attribute " + quoted(key) +
                                   " is not known to this build; ignored");
    }
  }
  return channel;
}

Result<FileInfo> parse_velmaris_attrs(const Attributes& attributes) {
  FileInfo file;
  file.created_utc = text_attr(attributes, "created_utc");
  file.creator = text_attr(attributes, "creator");
  file.tag = text_attr(attributes, "tag");
  file.reason = text_attr(attributes, "reason");
  file.namespacesep = text_attr(attributes, "namespacesep");
  file.comment = text_attr(attributes, "comment");
  QEL_ASSIGN_OR_RETURN(file.created_at_latitude,
                       parse_optional_f64(attributes, "created_at_latitude"));
  QEL_ASSIGN_OR_RETURN(file.created_at_longitude,
                       parse_optional_f64(attributes, "created_at_longitude"));
  QEL_ASSIGN_OR_RETURN(file.created_at_altitude,
                       parse_optional_f64(attributes, "created_at_altitude"));

  for (const auto& alt : kPositionAlternatives) {
    if (file.*alt.member) continue;
    const std::string* raw = find(attributes, alt.alternative);
    if (raw == nullptr) continue;
    const auto value = xml_number::parse_f64(*raw);
    if (!value) {
      return std::unexpected(Error::invalid_metablock(
          "<velmaris " + std::string(alt.alternative) + "=" + quoted(*raw) +
          "> is not a valid float: " + std::string(value.error())));
    }
    file.*alt.member = *value;
    QEL_DEBUG(log::kMetaXml, "QEL4 velmaris/" + std::string(alt.alternative) +
                                 " accepted as alternative for " + std::string(alt.primary) +
                                 "; writers should emit the spec form");
  }
  for (const auto& [key, value] : attributes) {
    static_cast<void>(value);
    if (!is_one_of(kFileInfoFieldNames, key)) {
      QEL_DEBUG(log::kMetaXml, "QEL4 <velmaris " + quoted(key) +
                                   "> attribute is not known to this build; ignored");
    }
  }
  return file;
}

Result<Info> parse_info_attrs(const Attributes& attributes) {
  const std::string* name = find(attributes, "name");
  if (name == nullptr) {
    return std::unexpected(Error::invalid_metablock("QEL4 <info> is missing name"));
  }
  Info info;
  info.name = *name;
  const std::string* datatype = find(attributes, "datatype");
  QEL_ASSIGN_OR_RETURN(info.datatype,
                       parse_data_type(datatype != nullptr ? std::string_view(*datatype)
                                                           : std::string_view("string")));
  if (const std::string* value = find(attributes, "value")) info.value = *value;
  info.physicalunit = text_attr(attributes, "physicalunit");
  return info;
}

namespace {

// Expat's parser, freed on scope exit.
struct ParserDeleter {
  void operator()(XML_ParserStruct* parser) const noexcept { XML_ParserFree(parser); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

// Bytes of output after which Expat's entity-amplification check applies.
// Only attribute values of a hostile DOCTYPE are ever expanded, so a small
// threshold ends an entity bomb after a few tens of kilobytes.
constexpr unsigned long long kAmplificationThreshold = 64 * 1024;
// Expat takes at most INT_MAX bytes per call.
constexpr std::size_t kChunk = std::size_t{1} << 30;

// The four-state reader over Expat's events. One document may hold
// several top-level elements (the Part returns to "before the root" after the
// root's end tag); each is parsed by a fresh Expat parser starting where the
// previous one stopped.
class Reader {
 public:
  explicit Reader(std::string text) : text_(std::move(text)) {}

  Result<MetaBlock> run() {
    block_.format_version = 4;
    while (true) {
      QEL_ASSIGN_OR_RETURN(const bool more, parse_segment());
      if (!more) break;
    }
    return std::move(block_);
  }

 private:
  enum class State { BeforeRoot, InRoot, InChannels, InInfos };

  // Parses from base_ up to the end of the next top-level element; true when
  // it stopped there and more text follows.
  Result<bool> parse_segment() {
    ParserPtr owner(XML_ParserCreate("UTF-8"));  // overrides any declared encoding
    if (!owner) return std::unexpected(Error::metablock_xml("cannot create the XML parser"));
    parser_ = owner.get();
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &Reader::on_start, &Reader::on_end);
    // A default handler turns off the expansion of internal entities in
    // content; everything it receives is ignored.
    XML_SetDefaultHandler(parser_, &Reader::on_default);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetBillionLaughsAttackProtectionActivationThreshold(parser_, kAmplificationThreshold);
    depth_ = 0;
    saw_element_ = false;
    pending_empty_end_ = false;
    resume_at_.reset();

    const std::string_view rest = std::string_view(text_).substr(base_);
    std::size_t fed = 0;
    XML_Status status = XML_STATUS_OK;
    do {
      const std::size_t len = std::min(kChunk, rest.size() - fed);
      const bool final = fed + len == rest.size();
      status = XML_Parse(parser_, rest.data() + fed, static_cast<int>(len), final ? 1 : 0);
      fed += len;
    } while (status == XML_STATUS_OK && fed < rest.size());

    const XML_Error code = XML_GetErrorCode(parser_);
    const auto where = XML_GetCurrentByteIndex(parser_);
    parser_ = nullptr;
    if (status == XML_STATUS_OK) return false;
    if (error_) {
      Error error = std::move(*error_);
      error_.reset();
      return std::unexpected(std::move(error));
    }
    if (resume_at_) {
      base_ += *resume_at_;
      return true;
    }
    const std::size_t offset = base_ + (where < 0 ? rest.size() : static_cast<std::size_t>(where));
    if (code == XML_ERROR_NO_ELEMENTS) {
      // Nothing but a prolog (declaration, comments, PIs, DOCTYPE, space).
      if (!saw_element_) return false;
      if (skipping_ && depth_ > 0) {
        return std::unexpected(
            Error::invalid_metablock("QEL4 unexpected EOF while skipping <" + *skipping_ + ">"));
      }
    }
    return std::unexpected(library_error(code, offset));
  }

  // Expat's error; inside a tag whose attributes the reader reads, errors of
  // attribute syntax and entity references get the collect_attrs prefixes.
  Error library_error(XML_Error code, std::size_t offset) const {
    std::string text = std::string(XML_ErrorString(code)) + " at " + position_text(text_, offset);
    const char* prefix = nullptr;
    switch (code) {
      case XML_ERROR_UNDEFINED_ENTITY:
      case XML_ERROR_RECURSIVE_ENTITY_REF:
      case XML_ERROR_ASYNC_ENTITY:
      case XML_ERROR_BAD_CHAR_REF:
      case XML_ERROR_BINARY_ENTITY_REF:
      case XML_ERROR_ATTRIBUTE_EXTERNAL_ENTITY_REF:
      case XML_ERROR_AMPLIFICATION_LIMIT_BREACH:
        prefix = kUnescapePrefix.data();
        break;
      case XML_ERROR_DUPLICATE_ATTRIBUTE:
      case XML_ERROR_INVALID_TOKEN:
        prefix = kParsePrefix.data();
        break;
      default:
        break;
    }
    if (prefix == nullptr) return Error::metablock_xml(std::move(text));
    const auto tag = enclosing_tag(offset);
    if (!tag || !attributes_read(tag->name, tag->empty))
      return Error::metablock_xml(std::move(text));
    if (code == XML_ERROR_INVALID_TOKEN) {
      if (offset <= tag->name_end) return Error::metablock_xml(std::move(text));
      if (tag->in_unterminated_reference) prefix = kUnescapePrefix.data();
    }
    if (prefix == kUnescapePrefix.data() && offset == tag->start) {
      // Expat reports some entity errors at the tag's '<'; point at the
      // offending reference instead.
      const auto scanned =
          scan_attrs(std::string_view(text_).substr(tag->start, tag->end - tag->start));
      if (!scanned && scanned.error().unescape) {
        text = std::string(XML_ErrorString(code)) + " at " +
               position_text(text_, tag->start + scanned.error().offset);
      }
    }
    return Error::metablock_xml(std::string(prefix) + text);
  }

  struct TagAt {
    std::size_t start;  // the '<'
    std::size_t end;    // one past the '>', or the end of the input
    std::string_view name;
    std::size_t name_end;
    bool empty;
    bool in_unterminated_reference;  // the offset follows an '&' of a value without its ';'
  };

  // The tag that contains `offset`, found from the last '<' before it (an
  // attribute value cannot hold '<'); nothing when the offset is outside.
  std::optional<TagAt> enclosing_tag(std::size_t offset) const {
    const std::string_view text(text_);
    if (offset >= text.size()) offset = text.size() == 0 ? 0 : text.size() - 1;
    const std::size_t start = text.rfind('<', offset);
    if (start == std::string_view::npos || start < base_) return std::nullopt;
    std::size_t i = start + 1;
    while (i < text.size() && !is_space(text[i]) && text[i] != '/' && text[i] != '>') ++i;
    TagAt tag{start, text.size(), text.substr(start + 1, i - start - 1), i, false, false};
    char quote = 0;
    std::size_t amp = std::string_view::npos;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (i == offset) tag.in_unterminated_reference = quote != 0 && amp != std::string_view::npos;
      if (quote != 0) {
        if (c == quote) {
          quote = 0;
          amp = std::string_view::npos;
        } else if (c == '&') {
          amp = i;
        } else if (c == ';') {
          amp = std::string_view::npos;
        }
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        tag.empty = text[i - 1] == '/';
        tag.end = i + 1;
        if (offset > i) return std::nullopt;
        return tag;
      }
    }
    return tag;  // the tag runs to the end of the input
  }

  // Whether the reader would collect the attributes of this tag now.
  bool attributes_read(std::string_view name, bool empty) const {
    if (skipping_) return false;
    switch (state_) {
      case State::BeforeRoot:
        return !empty && name == "velmaris";
      case State::InRoot:
        return false;
      case State::InChannels:
        return name == "channel";
      case State::InInfos:
        return name == "info";
    }
    return false;
  }

  static void XMLCALL on_start(void* user, const XML_Char* name, const XML_Char** /*atts*/) {
    auto& self = *static_cast<Reader*>(user);
    const auto index = XML_GetCurrentByteIndex(self.parser_);
    const int count = XML_GetCurrentByteCount(self.parser_);
    ++self.depth_;
    self.saw_element_ = true;
    const std::size_t offset = self.base_ + static_cast<std::size_t>(index < 0 ? 0 : index);
    const std::size_t length = count < 0 ? 0 : static_cast<std::size_t>(count);
    const std::string_view tag = std::string_view(self.text_).substr(offset, length);
    if (index < 0 || tag.size() < 2 || tag.front() != '<' || tag.back() != '>') {
      // Not reached: with the default handler set, no element comes from an
      // entity, so every start tag is written in the input.
      self.fail(Error::metablock_xml("attribute parse error: start tag text unavailable at " +
                                     position_text(self.text_, offset)));
      return;
    }
    const bool empty = tag[tag.size() - 2] == '/';
    self.pending_empty_end_ = empty;
    if (auto status = self.start_tag(name, offset, length, empty); !status) {
      self.fail(std::move(status).error());
    }
  }

  static void XMLCALL on_end(void* user, const XML_Char* name) {
    auto& self = *static_cast<Reader*>(user);
    --self.depth_;
    if (self.pending_empty_end_) {
      self.pending_empty_end_ = false;  // the end Expat reports for an empty-element tag
    } else {
      self.end_tag(name);
    }
    if (self.depth_ == 0) {
      const auto index = XML_GetCurrentByteIndex(self.parser_);
      const int count = XML_GetCurrentByteCount(self.parser_);
      self.resume_at_ = static_cast<std::size_t>(index) + static_cast<std::size_t>(count);
      XML_StopParser(self.parser_, XML_FALSE);
    }
  }

  static void XMLCALL on_default(void* /*user*/, const XML_Char* /*text*/, int /*len*/) {}

  void fail(Error error) {
    if (!error_) error_ = std::move(error);
    XML_StopParser(parser_, XML_FALSE);
  }

  Status start_tag(std::string_view name, std::size_t offset, std::size_t length, bool empty) {
    if (skipping_) return {};  // everything up to the skipped element's end tag is ignored
    switch (state_) {
      case State::BeforeRoot:
        if (empty) return {};
        if (name != "velmaris") {
          return std::unexpected(Error::invalid_metablock(
              "QEL4 root element must be <velmaris>, got <" + std::string(name) + ">"));
        }
        {
          QEL_ASSIGN_OR_RETURN(const auto attributes, collect_attrs(text_, offset, length));
          QEL_ASSIGN_OR_RETURN(block_.file, parse_velmaris_attrs(attributes));
        }
        state_ = State::InRoot;
        return {};
      case State::InRoot:
        if (empty) {
          if (name != "infos" && name != "channels") {
            QEL_DEBUG(log::kMetaXml,
                      "QEL4 unknown empty <" + std::string(name) + "/> under <velmaris>; skipped");
          }
          return {};
        }
        if (name == "infos") {
          state_ = State::InInfos;
        } else if (name == "channels") {
          state_ = State::InChannels;
        } else {
          QEL_DEBUG(log::kMetaXml,
                    "QEL4 unknown child <" + std::string(name) + "> of <velmaris>; skipped");
          skipping_ = std::string(name);
        }
        return {};
      case State::InChannels:
        if (name == "channel") {
          QEL_ASSIGN_OR_RETURN(const auto attributes, collect_attrs(text_, offset, length));
          QEL_ASSIGN_OR_RETURN(auto channel,
                               parse_channel_attrs(attributes, block_.channels.size()));
          block_.channels.push_back(std::move(channel));
        } else {
          QEL_DEBUG(log::kMetaXml,
                    "QEL4 unknown child <" + std::string(name) + "> inside <channels>; skipped");
        }
        return {};
      case State::InInfos:
        if (name == "info") {
          QEL_ASSIGN_OR_RETURN(const auto attributes, collect_attrs(text_, offset, length));
          QEL_ASSIGN_OR_RETURN(auto info, parse_info_attrs(attributes));
          block_.infos.push_back(std::move(info));
        } else {
          QEL_DEBUG(log::kMetaXml,
                    "QEL4 unknown child <" + std::string(name) + "> inside <infos>; skipped");
        }
        return {};
    }
    return {};
  }

  void end_tag(std::string_view name) {
    if (skipping_) {
      // The first end tag of that name ends the skip; there is no nesting count.
      if (name == *skipping_) skipping_.reset();
      return;
    }
    if (name == "infos" || name == "channels") {
      state_ = State::InRoot;
    } else if (name == "velmaris") {
      state_ = State::BeforeRoot;
    }
  }

  std::string text_;
  MetaBlock block_;
  State state_ = State::BeforeRoot;
  std::optional<std::string> skipping_;

  // Per Expat parser.
  XML_Parser parser_ = nullptr;
  std::size_t base_ = 0;
  int depth_ = 0;
  bool saw_element_ = false;
  bool pending_empty_end_ = false;
  std::optional<std::size_t> resume_at_;
  std::optional<Error> error_;
};

}  // namespace
}  // namespace meta_xml

Result<MetaBlock> parse_metablock_xml(std::span<const std::uint8_t> bytes) {
  // The bytes are read as UTF-8 whatever the XML declaration names.
  meta_xml::Reader reader(from_utf8_lossy(bytes));
  return reader.run();
}

}  // namespace qel
