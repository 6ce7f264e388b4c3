#include "metablock/meta_xml.hpp"

#include "metablock/meta_xml_attrs.hpp"
#include "metablock/meta_xml_fields.hpp"

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
#include <new>
#include <string>
#include <utility>

#include "common/utf8.hpp"
#include "metablock/xml_number.hpp"
#include "qel/log.hpp"
#include "qel/types.hpp"

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

// Expat's parser, freed on scope exit.
struct ParserDeleter {
  void operator()(XML_ParserStruct* parser) const noexcept { XML_ParserFree(parser); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

// Bytes of output after which Expat's entity-amplification check applies.
// Only attribute values of a hostile DOCTYPE are ever expanded, so a small
// threshold ends an entity bomb after a few tens of kilobytes.
constexpr unsigned long long kAmplificationThreshold = 64 * 1024;
// Expat is given the text in pieces of this size: it copies what it is given
// into a buffer of its own, so a piece costs its size once more.
constexpr std::size_t kChunk = std::size_t{1} << 20;
// Expat keeps about 150 bytes for each open element, whatever its name, so
// deeper nesting than this is refused instead of costing memory out of
// proportion to the text (a metablock of real files nests a few levels).
constexpr int kMaxDepth = 1 << 16;

// The four-state reader over Expat's events. One document may hold
// several top-level elements (after the root's end tag the reader is back
// before the root); each is parsed by a fresh Expat parser starting where the
// previous one stopped.
class Reader {
 public:
  // The bytes stay owned by the caller, unless they are not UTF-8 and are
  // read from a repaired copy.
  explicit Reader(std::span<const std::uint8_t> bytes)
      : text_(reinterpret_cast<const char*>(bytes.data()), bytes.size()) {
    if (validate_utf8(bytes)) {
      repaired_ = from_utf8_lossy(bytes);
      text_ = repaired_;
    }
  }

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

    const std::string_view rest = text_.substr(base_);
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
    if (code == XML_ERROR_NO_MEMORY) return Error::out_of_memory();
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
      const auto scanned = scan_attrs(text_.substr(tag->start, tag->end - tag->start));
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
    const std::string_view text = text_;
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
    self.saw_element_ = true;
    if (++self.depth_ > kMaxDepth) {
      self.fail(Error::invalid_metablock("QEL4 elements nest deeper than " +
                                         std::to_string(kMaxDepth) + " levels"));
      return;
    }
    const std::size_t offset = self.base_ + static_cast<std::size_t>(index < 0 ? 0 : index);
    const std::size_t length = count < 0 ? 0 : static_cast<std::size_t>(count);
    const std::string_view tag = self.text_.substr(offset, length);
    if (index < 0 || tag.size() < 2 || tag.front() != '<' || tag.back() != '>') {
      // Not reached: with the default handler set, no element comes from an
      // entity, so every start tag is written in the input.
      self.fail(Error::metablock_xml("attribute parse error: start tag text unavailable at " +
                                     position_text(self.text_, offset)));
      return;
    }
    const bool empty = tag[tag.size() - 2] == '/';
    self.pending_empty_end_ = empty;
    // Nothing may unwind through Expat.
    try {
      if (auto status = self.start_tag(name, offset, length, empty); !status) {
        self.fail(std::move(status).error());
      }
    } catch (const std::bad_alloc&) {
      self.fail(Error::out_of_memory());
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

  std::string repaired_;
  std::string_view text_;
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
  meta_xml::Reader reader(bytes);
  return reader.run();
}

}  // namespace qel
