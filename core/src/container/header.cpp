#include "container/header.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "common/wire.hpp"

namespace qel {
namespace {

constexpr std::string_view kSingleSpace =
    "malformed magic header: fields must be separated by a single space with no trailing space";

Error bad(std::string message) {
  return Error::invalid_magic_header(std::move(message));
}

std::optional<std::uint32_t> version_of(std::string_view identifier) {
  if (identifier == wire::kVersion5) return 5;
  static constexpr std::array<std::string_view, 3> kVersion4{
      wire::kVersion4, "KAVRI_STREAM_FORMAT4", "KAVRI_STREAMING_FORMAT4"};
  if (std::ranges::find(kVersion4, identifier) != kVersion4.end()) return 4;
  return std::nullopt;
}

std::optional<std::uint64_t> parse_length(std::string_view field) {
  if (field.starts_with('+')) field.remove_prefix(1);
  if (field.empty() || !std::ranges::all_of(field, [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return value;
}

bool all_of_chars(std::string_view text, std::string_view allowed) {
  return std::ranges::all_of(text,
                             [&](char c) { return allowed.find(c) != std::string_view::npos; });
}

std::vector<std::string_view> split_spaces(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t space = text.find(' ');
    fields.push_back(text.substr(0, space));
    if (space == std::string_view::npos) return fields;
    text.remove_prefix(space + 1);
  }
}

Status apply_token(std::string_view field, bool token_seen, MagicHeader& header) {
  if (field.empty()) return std::unexpected(bad(std::string(kSingleSpace)));
  const std::size_t colon = field.find(':');
  if (colon == std::string_view::npos) {
    return std::unexpected(bad("malformed header token, expected 'key:value': " + quoted(field)));
  }
  const std::string_view key = field.substr(0, colon);
  const std::string_view value = field.substr(colon + 1);
  if (key.empty() || !all_of_chars(key, "abcdefghijklmnopqrstuvwxyz0123456789-")) {
    return std::unexpected(
        bad("malformed header token key (lowercase a-z, 0-9, '-' only): " + quoted(key)));
  }
  if (key == "crc32c") {
    if (value.size() != 8 || !all_of_chars(value, "0123456789ABCDEF")) {
      return std::unexpected(
          bad("crc32c token value must be 8 uppercase hex digits, got " + quoted(value)));
    }
    std::uint32_t crc = 0;
    std::from_chars(value.data(), value.data() + value.size(), crc, 16);
    header.metablock_crc32c = crc;
    header.integrity = IntegrityProfile::crc32c;
    return {};
  }
  if (key == "ed25519") {
    if (value.size() != 16 || !all_of_chars(value, "0123456789abcdef")) {
      return std::unexpected(
          bad("ed25519 keyid must be 16 lowercase hex digits, got " + quoted(value)));
    }
    if (!token_seen) {
      return std::unexpected(
          bad("ed25519 token is only valid after a crc32c token (crc32c first)"));
    }
    header.integrity = IntegrityProfile::ed25519;
    return {};
  }
  return std::unexpected(Error::unknown_header_token(std::string(key)));
}

}  // namespace

Result<MagicHeader> parse_magic_header(InputStream& stream) {
  std::string line;
  line.reserve(48);
  for (;;) {
    std::uint8_t byte = 0;
    QEL_ASSIGN_OR_RETURN(const std::size_t got, stream.read(std::span(&byte, 1)));
    if (got == 0) return std::unexpected(bad("unexpected end of input before newline"));
    if (byte == '\n') break;
    if (line.size() >= kMaxHeaderLineBytes) {
      return std::unexpected(Error::header_line_too_long(kMaxHeaderLineBytes));
    }
    line.push_back(static_cast<char>(byte));
  }
  if (line.ends_with('\r')) line.pop_back();
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  if (const auto error = validate_utf8(bytes)) {
    return std::unexpected(bad("magic header is not valid UTF-8: " + describe(*error)));
  }
  return parse_magic_header_line(line);
}

Result<MagicHeader> parse_magic_header_line(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) {
    return std::unexpected(bad("expected '<identifier> <length>', got: " + quoted(line)));
  }
  const std::string_view identifier = line.substr(0, space);
  const auto version = version_of(identifier);
  if (!version) return std::unexpected(Error::unsupported_version(std::string(identifier)));

  const auto fields = split_spaces(line.substr(space + 1));
  if (fields[0].empty()) {
    return std::unexpected(bad("missing metablock length after identifier " + quoted(identifier)));
  }
  const auto length = parse_length(fields[0]);
  if (!length) {
    return std::unexpected(bad("metablock length is not a valid u64: " + quoted(fields[0])));
  }
  MagicHeader header;
  header.version = *version;
  header.metablock_len = *length;
  if (fields.size() > 1 && *version == 4) {
    if (fields[1].empty()) return std::unexpected(bad(std::string(kSingleSpace)));
    return std::unexpected(bad("header tokens are only allowed for QEL5; found " +
                               quoted(fields[1]) + " after an QEL4 identifier"));
  }
  for (std::size_t i = 1; i < fields.size(); ++i) {
    QEL_TRY(apply_token(fields[i], i > 1, header));
  }
  return header;
}

}  // namespace qel
