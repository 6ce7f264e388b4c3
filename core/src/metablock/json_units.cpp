#include "metablock/json_units.hpp"

#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "qel/log.hpp"
#include "qel/types.hpp"

namespace qel::meta_json {
namespace {

// Looks a key up in an object; nullptr when absent.
const Json* find(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::string leaf_text(const Json& value) {
  // The tree comes from a validating parse, so strings are valid UTF-8; the
  // replace handler only guarantees that dump() never throws.
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

namespace {

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

// The integer classification of metablock numbers: written without fraction
// and exponent and within -2^63 ..= 2^64-1. nlohmann stores exactly those as
// number_integer or number_unsigned (is_number_integer() is true for both);
// everything else is number_float.
bool is_integer(const Json& value) noexcept {
  return value.is_number_integer();
}

// The text rule: null gives nothing, a string its text, any other value its
// compact JSON text (42, true, [1,2]).
std::optional<std::string> value_to_string(const Json& value) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  return leaf_text(value);
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

}  // namespace

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
  for (const auto& text : meta::kChannelTexts) {
    channel.*text.member = text_member(object, text.name);
  }
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
    info.value = value->is_string() ? value->get<std::string>() : leaf_text(*value);
  }
  info.physicalunit = text_member(object, "physicalunit");
  return info;
}

}  // namespace qel::meta_json
