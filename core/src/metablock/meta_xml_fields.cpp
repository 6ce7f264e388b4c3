#include <limits>
#include <string>

#include "metablock/meta_xml_fields.hpp"
#include "metablock/xml_number.hpp"
#include "qel/log.hpp"
#include "qel/types.hpp"

namespace qel::meta_xml {
namespace {

const std::string* find(const Attributes& attributes, std::string_view key) {
  const auto it = attributes.find(key);
  return it == attributes.end() ? nullptr : &it->second;
}

std::optional<std::string> text_attr(const Attributes& attributes, std::string_view key) {
  if (const std::string* value = find(attributes, key)) return *value;
  return std::nullopt;
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

// An absent attribute gives nothing; otherwise a float or InvalidMetablock
// "<velmaris {key}={value}> is not a float: {reason}".
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

// The attribute timeincrement: nothing, a signed 64-bit value or
// InvalidMetablock "attribute timeincrement={value} is not an int: {reason}".
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

}  // namespace

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

  for (const auto& text : meta::kChannelTexts) {
    channel.*text.member = text_attr(attributes, text.name);
  }
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
  for (const auto& text : kFileInfoTexts) file.*text.member = text_attr(attributes, text.name);
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

}  // namespace qel::meta_xml
