#include "metablock/meta_json.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "common/wire.hpp"
#include "qel/log.hpp"
#include "qel/types.hpp"

namespace qel {
namespace meta_json {
namespace {

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

constexpr std::string_view kFormatKey = "format";

constexpr std::array<std::string_view, 5> kEnvelopeKeys{"file", "infos", "channels", "version",
                                                        "format"};

// Looks a key up in an object; nullptr when absent.
const Json* find(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::string leaf_text(const Json& value) {
  // The tree comes from a validating parse, so strings are valid UTF-8; the
  // replace handler only guarantees that dump() never throws.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string_view kind_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::string:
      return "string";
    case Json::value_t::array:
      return "array";
    case Json::value_t::object:
      return "object";
    default:
      return "number";
  }
}

// A number as a 64-bit float; any other type gives nothing.
std::optional<double> number_value(const Json* value) {
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

// An integer within the signed 64-bit range.
std::optional<std::int64_t> signed_integer(const Json* value) {
  if (value == nullptr || !is_integer(*value)) return std::nullopt;
  if (value->is_number_unsigned()) {
    const auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(u);
  }
  return value->get<std::int64_t>();
}

// A non-negative integer up to 2^64-1.
std::optional<std::uint64_t> unsigned_integer(const Json* value) {
  if (value == nullptr || !is_integer(*value)) return std::nullopt;
  if (value->is_number_unsigned()) return value->get<std::uint64_t>();
  const auto i = value->get<std::int64_t>();
  if (i < 0) return std::nullopt;
  return static_cast<std::uint64_t>(i);
}

std::optional<std::string> text_member(const Json& object, std::string_view key) {
  const Json* value = find(object, key);
  if (value == nullptr) return std::nullopt;
  return value_to_string(*value);
}

Result<FileInfo> read_file_info(const Json& file) {
  FileInfo info;
  for (const auto& text : kFileInfoTexts) info.*text.member = text_member(file, text.name);
  info.created_at_latitude = number_value(find(file, "created_at_latitude"));
  info.created_at_longitude = number_value(find(file, "created_at_longitude"));
  info.created_at_altitude = number_value(find(file, "created_at_altitude"));

  for (const auto& alt : kPositionAlternatives) {
    if (info.*alt.member) continue;
    if (auto value = number_value(find(file, alt.alternative))) {
      info.*alt.member = value;
      QEL_DEBUG(log::kMetaJson, "QEL5 file." + std::string(alt.alternative) +
                                    " accepted as alternative for " + std::string(alt.primary) +
                                    "; writers should emit the spec form");
    }
  }
  for (auto it = file.begin(); it != file.end(); ++it) {
    if (!is_one_of(kFileInfoFieldNames, it.key())) {
      QEL_DEBUG(log::kMetaJson,
                "QEL5 file." + quoted(it.key()) + " is not known to this build; ignored");
    }
  }
  return info;
}

Result<meta::Channel> read_channel(const Json& object, std::size_t position) {
  const std::string p = std::to_string(position);
  if (!object.is_object()) {
    return std::unexpected(Error::invalid_metablock(
        "QEL5 channels[" + p + "] must be an object, got " + std::string(kind_name(object))));
  }
  meta::Channel channel;

  const auto index = signed_integer(find(object, "index"));
  if (!index) {
    return std::unexpected(Error::invalid_metablock("channel at position " + p +
                                                    " is missing required field \"index\""));
  }
  if (*index < 0 || *index > 65535) {
    return std::unexpected(Error::invalid_metablock("channel at position " + p +
                                                    " has index=" + std::to_string(*index) +
                                                    " out of range 0..=65535"));
  }
  channel.index = static_cast<std::uint16_t>(*index);

  const Json* name = find(object, "name");
  if (name == nullptr || !name->is_string()) {
    return std::unexpected(Error::invalid_metablock("channel at index " +
                                                    std::to_string(channel.index) +
                                                    " is missing required field \"name\""));
  }
  channel.name = name->get<std::string>();
  const std::string qname = quoted(channel.name);

  const Json* channeltype = find(object, "channeltype");
  if (channeltype == nullptr || !channeltype->is_string()) {
    return std::unexpected(Error::invalid_metablock("channel " + qname +
                                                    " is missing required field \"channeltype\""));
  }
  channel.channeltype = parse_channel_type(channeltype->get_ref<const std::string&>());

  const Json* datatype = find(object, "datatype");
  if (datatype == nullptr || !datatype->is_string()) {
    return std::unexpected(
        Error::invalid_metablock("channel " + qname + " is missing required field \"datatype\""));
  }
  QEL_ASSIGN_OR_RETURN(channel.datatype, parse_data_type(datatype->get_ref<const std::string&>()));

  const auto size = unsigned_integer(find(object, "sizeoflengthvalue"));
  if (!size) {
    return std::unexpected(Error::invalid_metablock(
        "channel " + qname + " is missing required field \"sizeoflengthvalue\""));
  }
  if (*size > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(Error::invalid_metablock(
        "channel " + qname + " sizeoflengthvalue=" + std::to_string(*size) + " out of range"));
  }
  QEL_ASSIGN_OR_RETURN(channel.sizeoflengthvalue,
                       validate_size_of_length_value(static_cast<std::uint32_t>(*size)));

  channel.timeincrement = signed_integer(find(object, "timeincrement"));
  for (const auto& text : meta::kChannelTexts)
    channel.*text.member = text_member(object, text.name);
  if (const Json* spectrum = find(object, "spectrumtype"); spectrum && spectrum->is_string()) {
    channel.spectrumtype = spectrum_type_from_wire(spectrum->get_ref<const std::string&>());
  }

  for (const auto key : kWithdrawnChannelFieldNames) {
    if (find(object, key) != nullptr) {
      QEL_WARN(log::kMetaJson, "channel " + qname + " carries deprecated field " + quoted(key) +
                                   " (removed in spec revision 2026-05-04); ignored");
    }
  }
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (!is_one_of(kChannelFieldNames, it.key()) &&
        !is_one_of(kWithdrawnChannelFieldNames, it.key())) {
      QEL_DEBUG(log::kMetaJson, "channel " + qname + ": field " + quoted(it.key()) +
                                    " is not known to this build; ignored");
    }
  }
  return channel;
}

Result<Info> read_info(const Json& object, std::size_t position) {
  const std::string p = std::to_string(position);
  if (!object.is_object()) {
    return std::unexpected(Error::invalid_metablock("QEL5 infos[" + p + "] must be an object"));
  }
  const Json* name = find(object, "name");
  if (name == nullptr || !name->is_string()) {
    return std::unexpected(Error::invalid_metablock("QEL5 infos[" + p + "] is missing \"name\""));
  }
  Info info;
  info.name = name->get<std::string>();
  const Json* datatype = find(object, "datatype");
  const std::string_view spelling = datatype != nullptr && datatype->is_string()
                                        ? std::string_view(datatype->get_ref<const std::string&>())
                                        : std::string_view("string");
  QEL_ASSIGN_OR_RETURN(info.datatype, parse_data_type(spelling));
  if (const Json* value = find(object, "value")) {
    info.value = value->is_string() ? value->get<std::string>() : compact_text(*value);
  }
  info.physicalunit = text_member(object, "physicalunit");
  return info;
}

Result<MetaBlock> read_document(const Json& root) {
  if (!root.is_object()) {
    return std::unexpected(Error::invalid_metablock("QEL5 root must be a JSON object"));
  }
  const Json* envelope = find(root, "qel");
  if (envelope == nullptr || !envelope->is_object()) {
    return std::unexpected(Error::invalid_metablock("QEL5 root is missing the \"qel\" envelope"));
  }

  MetaBlock block;
  block.format_version = 5;

  if (const Json* format = find(*envelope, kFormatKey); format && format->is_string()) {
    const auto& text = format->get_ref<const std::string&>();
    if (text != wire::kMetablockFormat5) {
      QEL_WARN(log::kMetaJson, "QEL5 metablock declares format=" + quoted(text) +
                                   "; expected \"qel5\". parsing as QEL5 anyway because the "
                                   "magic header was QEL5.");
    }
  }

  if (const Json* file = find(*envelope, "file")) {
    if (!file->is_object()) {
      return std::unexpected(Error::invalid_metablock("QEL5 \"file\" must be an object"));
    }
    QEL_ASSIGN_OR_RETURN(block.file, read_file_info(*file));
  }

  if (const Json* channels = find(*envelope, "channels")) {
    if (!channels->is_array()) {
      return std::unexpected(Error::invalid_metablock("QEL5 \"channels\" must be an array"));
    }
    block.channels.reserve(channels->size());
    std::size_t position = 0;
    for (const auto& element : *channels) {
      QEL_ASSIGN_OR_RETURN(auto channel, read_channel(element, position));
      block.channels.push_back(std::move(channel));
      ++position;
    }
  }

  if (const Json* infos = find(*envelope, "infos")) {
    if (!infos->is_array()) {
      return std::unexpected(Error::invalid_metablock("QEL5 \"infos\" must be an array"));
    }
    block.infos.reserve(infos->size());
    std::size_t position = 0;
    for (const auto& element : *infos) {
      QEL_ASSIGN_OR_RETURN(auto info, read_info(element, position));
      block.infos.push_back(std::move(info));
      ++position;
    }
  }

  log_unknown_top_level_fields(*envelope);
  return block;
}

bool is_integer(const Json& value) noexcept {
  // is_number_integer() is true for number_integer and number_unsigned alike.
  return value.is_number_integer();
}

std::string compact_text(const Json& value) {
  if (!value.is_structured()) return leaf_text(value);
  // An explicit stack instead of dump(): a hostile metablock may nest arrays
  // deeper than the call stack can recurse.
  struct Frame {
    const Json* node;
    Json::const_iterator next;
    bool first;
  };
  std::string out;
  std::vector<Frame> stack;
  const auto open = [&](const Json& node) {
    out += node.is_object() ? '{' : '[';
    stack.push_back({&node, node.cbegin(), true});
  };
  open(value);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->cend()) {
      out += frame.node->is_object() ? '}' : ']';
      stack.pop_back();
      continue;
    }
    if (!frame.first) out += ',';
    frame.first = false;
    if (frame.node->is_object()) {
      out += leaf_text(Json(frame.next.key()));
      out += ':';
    }
    const Json& child = *frame.next;
    ++frame.next;
    if (child.is_structured()) {
      open(child);  // may reallocate the stack; `frame` is not used after this
    } else {
      out += leaf_text(child);
    }
  }
  return out;
}

std::optional<std::string> value_to_string(const Json& value) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  return compact_text(value);
}

void log_unknown_top_level_fields(const Json& envelope) {
  if (!envelope.is_object()) return;
  for (auto it = envelope.begin(); it != envelope.end(); ++it) {
    if (!is_one_of(kEnvelopeKeys, it.key())) {
      QEL_DEBUG(log::kMetaJson, "QEL5 metablock top-level field " + quoted(it.key()) +
                                    " is not known to this build; ignored");
    }
  }
}

}  // namespace
}  // namespace meta_json

namespace {

std::string library_text(const nlohmann::json::exception& e) {
  const std::string_view what = e.what();
  return from_utf8_lossy(
      std::span(reinterpret_cast<const std::uint8_t*>(what.data()), what.size()));
}

}  // namespace

Result<MetaBlock> parse_metablock_json(std::span<const std::uint8_t> bytes) {
  meta_json::Json root;
  try {
    // Strict RFC 8259: no comments, nothing after the value, UTF-8 checked.
    root = meta_json::Json::parse(bytes.begin(), bytes.end(), nullptr,
                                  /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception& e) {
    // The message quotes the text last read, which may hold the very bytes
    // that are not UTF-8; the error text must be valid UTF-8.
    return std::unexpected(Error::metablock_json(library_text(e)));
  }
  try {
    return meta_json::read_document(root);
  } catch (const nlohmann::json::exception& e) {
    // Not reached: every access above checks the type first.
    return std::unexpected(Error::metablock_json(library_text(e)));
  }
}

}  // namespace qel
