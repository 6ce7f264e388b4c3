#include "metablock/meta_json.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/deferred_log.hpp"
#include "common/utf8.hpp"
#include "common/wire.hpp"
#include "metablock/json_text.hpp"
#include "metablock/json_units.hpp"
#include "qel/log.hpp"

// The document is parsed with nlohmann's event (SAX) interface, never built
// as a tree: only the values the reader looks at are kept, each part ("file",
// one channel, one info) is read as soon as it is complete, and what it logs
// is kept until the whole document has parsed. Then the envelope is walked in
// the reader's fixed order (root, envelope, "file", channels, infos, unknown
// envelope keys), so errors and records come exactly as from a walk over the
// whole tree, while memory stays in proportion to what is kept.

namespace qel {
namespace meta_json {
namespace {

enum class Part : std::uint8_t { file, channel, info };

// What the reader does with the value of one member of a part.
enum class Use : std::uint8_t {
  skip,     // nothing
  present,  // only that the key is there counts: kept as null
  value,    // kept, a structure as an empty one of its kind
  text,     // kept, a structure as a string of its compact text
};

// Whether a key is one of a table's text members.
template <class Table>
bool is_text(const Table& table, std::string_view key) {
  for (const auto& text : table) {
    if (text.name == key) return true;
  }
  return false;
}

// Unknown keys of "file" and of channels are only logged: their values are
// never kept, and the keys only while their records are wanted.
Use use_of(Part part, std::string_view key, bool log_unknown) {
  const Use unknown = log_unknown ? Use::present : Use::skip;
  switch (part) {
    case Part::file:
      if (is_text(kFileInfoTexts, key)) return Use::text;
      return is_one_of(kFileInfoFieldNames, key) ? Use::value : unknown;
    case Part::channel:
      if (is_text(meta::kChannelTexts, key)) return Use::text;
      if (is_one_of(kChannelFieldNames, key)) return Use::value;
      return is_one_of(kWithdrawnChannelFieldNames, key) ? Use::present : unknown;
    case Part::info:
      if (key == "value" || key == "physicalunit") return Use::text;
      return key == "name" || key == "datatype" ? Use::value : Use::skip;
  }
  return Use::skip;
}

// One of the envelope's "file", "channels" and "infos" as read so far.
template <class T>
struct Section {
  bool present = false;
  bool right_type = false;  // an object for "file", an array for the others
  std::vector<T> values;
  std::optional<Error> error;  // of the first part that failed; later parts are not read
  std::vector<log::Record> records;
  std::size_t parts = 0;
};

struct Envelope {
  bool object = false;
  std::optional<std::string> format;  // when it is a string
  Section<FileInfo> file;
  Section<meta::Channel> channels;
  Section<Info> infos;
  std::set<std::string> unknown_keys;  // only while their records are wanted
};

struct Document {
  bool root_object = false;
  Envelope envelope;
  std::optional<std::string> syntax_error;
};

std::string library_text(const std::exception& e) {
  // The message quotes the text last read, which may hold the very bytes
  // that are not UTF-8; the error text must be valid UTF-8.
  const std::string_view what = e.what();
  return from_utf8_lossy(
      std::span(reinterpret_cast<const std::uint8_t*>(what.data()), what.size()));
}

// The event handler. While it lives, what the part readers log is kept back.
class Collector {
 public:
  explicit Collector(Document& document)
      : document_(document), log_unknown_(log::enabled(log::Level::Debug, log::kMetaJson)) {}

  bool null() { return scalar(Json(nullptr)); }
  bool boolean(bool value) { return scalar(Json(value)); }
  bool number_integer(Json::number_integer_t value) { return scalar(Json(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return scalar(Json(value)); }
  bool number_float(Json::number_float_t value, const std::string&) { return scalar(Json(value)); }
  bool string(std::string& value) { return scalar(Json(std::move(value))); }
  bool binary(Json::binary_t&) { return true; }  // JSON text has none
  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string& key);
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
    document_.syntax_error = library_text(error);
    return false;
  }

 private:
  // What the next value is.
  enum class Next : std::uint8_t {
    root,
    envelope,
    ignored,
    format,
    file,
    channels,
    infos,
    member,
    element
  };
  // The containers the reader is inside of, below any skipped or rendered one.
  enum class Scope : std::uint8_t { root, envelope, channels, infos, part };

  bool scalar(Json value);
  bool open(bool object);
  bool close();
  // Enters a container the reader reads into; false when it is passed over.
  bool descend(bool object);
  // Takes a value that has no members, or that was reduced to none.
  void take(Json value);
  void after_value();
  Next envelope_member(const std::string& key);
  void begin_part(Part part);
  void read_part(Part part, const Json& value);
  template <class T>
  void keep(Section<T>& section, Result<T> read);

  Document& document_;
  log::DeferringSink sink_;
  log::ScopedSink installed_{sink_};
  bool log_unknown_;
  Next next_ = Next::root;
  std::vector<Scope> scopes_;
  std::size_t skip_depth_ = 0;  // levels into a structure that is passed over
  std::optional<CompactText> text_;
  Part part_kind_ = Part::file;
  Json part_;
  std::string member_;
  Use member_use_ = Use::skip;
};

bool Collector::scalar(Json value) {
  if (skip_depth_ > 0) return true;
  if (text_) {
    text_->scalar(value);
    return true;
  }
  take(std::move(value));
  after_value();
  return true;
}

bool Collector::open(bool object) {
  if (skip_depth_ > 0) {
    ++skip_depth_;
    return true;
  }
  if (text_) {
    text_->open(object);
    return true;
  }
  if (descend(object)) return true;
  take(object ? Json::object() : Json::array());
  skip_depth_ = 1;
  return true;
}

bool Collector::descend(bool object) {
  Envelope& envelope = document_.envelope;
  switch (next_) {
    case Next::root:
      if (!object) return false;
      document_.root_object = true;
      scopes_.push_back(Scope::root);
      return true;
    case Next::envelope:
      if (!object) return false;
      envelope = Envelope{};
      envelope.object = true;
      scopes_.push_back(Scope::envelope);
      return true;
    case Next::file:
      if (!object) return false;
      envelope.file = {};
      envelope.file.present = envelope.file.right_type = true;
      begin_part(Part::file);
      return true;
    case Next::channels:
      if (object) return false;
      envelope.channels = {};
      envelope.channels.present = envelope.channels.right_type = true;
      scopes_.push_back(Scope::channels);
      next_ = Next::element;
      return true;
    case Next::infos:
      if (object) return false;
      envelope.infos = {};
      envelope.infos.present = envelope.infos.right_type = true;
      scopes_.push_back(Scope::infos);
      next_ = Next::element;
      return true;
    case Next::element: {
      const bool channels = scopes_.back() == Scope::channels;
      if (!object || (channels ? envelope.channels.error : envelope.infos.error)) return false;
      begin_part(channels ? Part::channel : Part::info);
      return true;
    }
    case Next::member:
      if (member_use_ != Use::text) return false;
      text_.emplace();
      text_->open(object);
      return true;
    case Next::ignored:
    case Next::format:
      return false;
  }
  return false;
}

void Collector::take(Json value) {
  Envelope& envelope = document_.envelope;
  switch (next_) {
    case Next::root:
    case Next::ignored:
      break;
    case Next::envelope:
      envelope = Envelope{};
      break;
    case Next::format:
      envelope.format.reset();
      if (value.is_string()) envelope.format = value.get<std::string>();
      break;
    case Next::file:
      envelope.file = {};
      envelope.file.present = true;
      break;
    case Next::channels:
      envelope.channels = {};
      envelope.channels.present = true;
      break;
    case Next::infos:
      envelope.infos = {};
      envelope.infos.present = true;
      break;
    case Next::element: {
      const bool channels = scopes_.back() == Scope::channels;
      if (!(channels ? envelope.channels.error : envelope.infos.error)) {
        read_part(channels ? Part::channel : Part::info, value);
      }
      break;
    }
    case Next::member:
      part_[member_] = member_use_ == Use::present ? Json(nullptr) : std::move(value);
      break;
  }
}

void Collector::after_value() {
  const bool in_array =
      !scopes_.empty() && (scopes_.back() == Scope::channels || scopes_.back() == Scope::infos);
  next_ = in_array ? Next::element : Next::ignored;
}

bool Collector::close() {
  if (skip_depth_ > 0) {
    if (--skip_depth_ == 0) after_value();
    return true;
  }
  if (text_) {
    text_->close();
    if (text_->complete()) {
      part_[member_] = Json(text_->take());
      text_.reset();
      after_value();
    }
    return true;
  }
  const Scope scope = scopes_.back();
  scopes_.pop_back();
  if (scope == Scope::part) {
    read_part(part_kind_, part_);
    part_ = Json();
  }
  after_value();
  return true;
}

bool Collector::key(std::string& key) {
  if (skip_depth_ > 0) return true;
  if (text_) {
    text_->key(key);
    return true;
  }
  switch (scopes_.back()) {
    case Scope::root:
      next_ = key == "qel" ? Next::envelope : Next::ignored;
      break;
    case Scope::envelope:
      next_ = envelope_member(key);
      break;
    case Scope::part:
      member_use_ = use_of(part_kind_, key, log_unknown_);
      next_ = member_use_ == Use::skip ? Next::ignored : Next::member;
      member_ = std::move(key);
      break;
    case Scope::channels:
    case Scope::infos:
      break;  // arrays have no keys
  }
  return true;
}

Collector::Next Collector::envelope_member(const std::string& key) {
  if (key == "format") return Next::format;
  if (key == "file") return Next::file;
  if (key == "channels") return Next::channels;
  if (key == "infos") return Next::infos;
  if (key != "version" && log_unknown_) document_.envelope.unknown_keys.insert(key);
  return Next::ignored;
}

void Collector::begin_part(Part part) {
  part_kind_ = part;
  part_ = Json::object();
  scopes_.push_back(Scope::part);
  next_ = Next::ignored;
}

void Collector::read_part(Part part, const Json& value) {
  Envelope& envelope = document_.envelope;
  switch (part) {
    case Part::file:
      keep(envelope.file, read_file_info(value));
      break;
    case Part::channel:
      keep(envelope.channels, read_channel(value, envelope.channels.parts++));
      break;
    case Part::info:
      keep(envelope.infos, read_info(value, envelope.infos.parts++));
      break;
  }
}

template <class T>
void Collector::keep(Section<T>& section, Result<T> read) {
  for (log::Record& record : sink_.take()) section.records.push_back(std::move(record));
  if (read) {
    section.values.push_back(std::move(*read));
  } else {
    section.error = std::move(read).error();
  }
}

// Replays a section's records and gives its values, or the error that ended it.
template <class T>
Result<std::vector<T>> finish_section(Section<T>& section, const char* wrong_type) {
  if (!section.present) return std::vector<T>();
  if (!section.right_type) return std::unexpected(Error::invalid_metablock(wrong_type));
  log::replay(section.records);
  if (section.error) return std::unexpected(std::move(*section.error));
  return std::move(section.values);
}

Result<MetaBlock> walk(Document& document) {
  if (!document.root_object) {
    return std::unexpected(Error::invalid_metablock("QEL5 root must be a JSON object"));
  }
  Envelope& envelope = document.envelope;
  if (!envelope.object) {
    return std::unexpected(Error::invalid_metablock("QEL5 root is missing the \"qel\" envelope"));
  }
  MetaBlock block;
  block.format_version = 5;
  if (envelope.format && *envelope.format != wire::kMetablockFormat5) {
    QEL_WARN(log::kMetaJson, "QEL5 metablock declares format=" + quoted(*envelope.format) +
                                 "; expected \"qel5\". parsing as QEL5 anyway because the "
                                 "magic header was QEL5.");
  }
  QEL_ASSIGN_OR_RETURN(std::vector<FileInfo> file,
                       finish_section(envelope.file, "QEL5 \"file\" must be an object"));
  if (!file.empty()) block.file = std::move(file.front());
  QEL_ASSIGN_OR_RETURN(block.channels,
                       finish_section(envelope.channels, "QEL5 \"channels\" must be an array"));
  QEL_ASSIGN_OR_RETURN(block.infos,
                       finish_section(envelope.infos, "QEL5 \"infos\" must be an array"));
  for (const std::string& key : envelope.unknown_keys) {
    QEL_DEBUG(log::kMetaJson, "QEL5 metablock top-level field " + quoted(key) +
                                  " is not known to this build; ignored");
  }
  return block;
}

}  // namespace
}  // namespace meta_json

Result<MetaBlock> parse_metablock_json(std::span<const std::uint8_t> bytes) {
  meta_json::Document document;
  {
    meta_json::Collector collector(document);
    // Strict RFC 8259: no comments, nothing after the value, UTF-8 checked.
    meta_json::Json::sax_parse(bytes.begin(), bytes.end(), &collector,
                               nlohmann::json::input_format_t::json, /*strict=*/true,
                               /*ignore_comments=*/false);
  }
  if (document.syntax_error) {
    return std::unexpected(Error::metablock_json(std::move(*document.syntax_error)));
  }
  return meta_json::walk(document);
}

}  // namespace qel
