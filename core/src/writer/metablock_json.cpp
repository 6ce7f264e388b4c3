#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "common/allocation_guard.hpp"
#include "common/utf8.hpp"
#include "common/wire.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

// nlohmann's default object is a std::map: keys come out in byte order.
using Json = nlohmann::json;

// Plain decimal from 1e-5 up to below 1e16, exponent form outside, shortest
// round-trip digits, ".0" kept on integral values.
std::string format_position(double value) {
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  std::array<char, 32> text;
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::scientific);
  const std::string_view scientific(text.data(), result.ptr);
  const std::size_t e_pos = scientific.find('e');
  const bool negative = scientific.front() == '-';
  std::string digits;
  for (const char c : scientific.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  std::string_view exponent_text = scientific.substr(e_pos + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  std::string out = negative ? "-" : "";
  if (exponent < -5 || exponent >= 16) {
    out += digits.front();
    if (digits.size() > 1) out.append(".").append(digits, 1);
    return out + "e" + std::to_string(exponent);
  }
  if (exponent < 0) {
    return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  const auto integral = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integral) {
    return out + digits + std::string(integral - digits.size(), '0') + ".0";
  }
  return out + digits.substr(0, integral) + "." + digits.substr(integral);
}

void append_escaped(std::string& out, std::string_view text) {
  static constexpr std::string_view kHex = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[static_cast<unsigned char>(c) >> 4];
          out += kHex[static_cast<unsigned char>(c) & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_indent(std::string& out, int depth) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

// Pretty form with two-space indentation and no trailing line feed.
Status append_value(std::string& out, const Json& value, int depth) {
  switch (value.type()) {
    case Json::value_t::object:
    case Json::value_t::array: {
      const bool object = value.is_object();
      if (value.empty()) {
        out += object ? "{}" : "[]";
        return {};
      }
      out += object ? "{\n" : "[\n";
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        append_indent(out, depth + 1);
        if (object) {
          QEL_TRY(append_value(out, Json(it.key()), depth + 1));
          out += ": ";
        }
        QEL_TRY(append_value(out, *it, depth + 1));
      }
      out += '\n';
      append_indent(out, depth);
      out += object ? '}' : ']';
      return {};
    }
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      const auto invalid =
          validate_utf8(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
      // Invalid UTF-8 would make the whole metablock unreadable.
      if (invalid) return std::unexpected(Error::metablock_json(describe(*invalid)));
      append_escaped(out, text);
      return {};
    }
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      out += std::isfinite(number) ? format_position(number) : "null";
      return {};
    }
    case Json::value_t::number_integer:
      out += std::to_string(value.get<std::int64_t>());
      return {};
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<std::uint64_t>());
      return {};
    default:
      out += "null";
      return {};
  }
}

// Days since 1970-01-01 to a proleptic Gregorian date.
struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

std::string padded(std::int64_t value, std::size_t width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return (value < 0 ? "-" : "") + digits;
}

std::string format_utc(std::int64_t unix_seconds) {
  constexpr std::int64_t kDay = 86400;
  std::int64_t days = unix_seconds / kDay;
  std::int64_t second_of_day = unix_seconds % kDay;
  if (second_of_day < 0) {
    second_of_day += kDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  return padded(date.year, 4) + "-" + padded(date.month, 2) + "-" + padded(date.day, 2) + "T" +
         padded(second_of_day / 3600, 2) + ":" + padded(second_of_day / 60 % 60, 2) + ":" +
         padded(second_of_day % 60, 2) + "Z";
}

void set_if_present(Json& object, const char* key, const std::optional<std::string>& value) {
  if (value) object[key] = *value;
}

void set_if_present(Json& object, const char* key, const std::optional<double>& value) {
  if (value) object[key] = *value;
}

Json file_to_json(const FileInfoDraft& info, std::int64_t created_unix_seconds) {
  Json file = Json::object();
  set_if_present(file, "comment", info.comment);
  set_if_present(file, "created_at_altitude", info.altitude);
  set_if_present(file, "created_at_latitude", info.latitude);
  set_if_present(file, "created_at_longitude", info.longitude);
  file["created_utc"] = format_utc(created_unix_seconds);
  file["creator"] = info.creator.value_or("qel-core/0.0.1");
  set_if_present(file, "namespacesep", info.namespace_sep);
  set_if_present(file, "reason", info.reason);
  file["tag"] = info.tag.value_or("default");
  return file;
}

Json channel_def_to_json(std::uint16_t index, const ChannelDef& def) {
  Json channel = Json::object();
  channel["channeltype"] = std::string(def.channel_type.wire_spelling());
  set_if_present(channel, "comment", def.comment);
  // add_channel admits only data types that have a wire spelling.
  channel["datatype"] = std::string(def.data_type.wire_spelling().value_or(""));
  set_if_present(channel, "displayname", def.display_name);
  channel["index"] = index;
  set_if_present(channel, "mimetype", def.mime_type);
  channel["name"] = def.name;
  set_if_present(channel, "physicaldimension", def.physical_dimension);
  set_if_present(channel, "physicalunit", def.physical_unit);
  set_if_present(channel, "reference", def.reference);
  channel["sizeoflengthvalue"] = def.size_of_length_value;
  if (def.spectrum_type) channel["spectrumtype"] = std::string(wire_spelling(*def.spectrum_type));
  if (def.time_increment_ns) channel["timeincrement"] = *def.time_increment_ns;
  return channel;
}

}  // namespace

Result<std::string> build_metablock_json(const FileInfoDraft& info,
                                         std::span<const ChannelDef> channels,
                                         std::int64_t created_unix_seconds) {
  return failed_allocation_as_error([&]() -> Result<std::string> {
    Json channel_list = Json::array();
    for (std::size_t i = 0; i < channels.size(); ++i) {
      channel_list.push_back(channel_def_to_json(static_cast<std::uint16_t>(i), channels[i]));
    }
    Json qel = Json::object();
    qel["channels"] = std::move(channel_list);
    qel["file"] = file_to_json(info, created_unix_seconds);
    qel["format"] = wire::kMetablockFormat5;
    qel["version"] = 5;
    Json document = Json::object();
    document["qel"] = std::move(qel);
    std::string text;
    QEL_TRY(append_value(text, document, 0));
    return text;
  });
}

}  // namespace qel
