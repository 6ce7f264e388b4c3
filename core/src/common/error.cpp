#include "qel/error.hpp"

#include <exception>

#include "qel/log.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace qel {
namespace {

std::string channel_text(std::uint16_t channel) {
  return "channel " + std::to_string(channel);
}

void append_unicode_escape(std::string& out, unsigned code) {
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string hex;
  do {
    hex.insert(hex.begin(), kDigits[code & 0xF]);
    code >>= 4;
  } while (code != 0);
  out += "\\u{" + hex + "}";
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      append_unicode_escape(out, byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F are control characters too.
      append_unicode_escape(out, static_cast<unsigned char>(text[++i]));
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

std::string hex8(std::uint32_t value) {
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

std::string format_rate(double rate) {
  if (std::isnan(rate)) return "NaN";
  if (std::isinf(rate)) return rate > 0 ? "inf" : "-inf";
  // Fixed notation of the smallest subnormal needs about 330 characters.
  std::array<char, 400> text;
  const auto result =
      std::to_chars(text.data(), text.data() + text.size(), rate, std::chars_format::fixed);
  return std::string(text.data(), result.ptr);
}

Error Error::io(int os_errno) {
  return {ErrorKind::Io, "I/O error: " + std::generic_category().message(os_errno) + " (os error " +
                             std::to_string(os_errno) + ")"};
}

Error Error::io_message(std::string description) {
  return {ErrorKind::Io, "I/O error: " + description};
}

Error Error::unexpected_eof() {
  return io_message("failed to fill whole buffer");
}

Error Error::invalid_magic_header(std::string message) {
  return {ErrorKind::InvalidMagicHeader, "invalid QEL magic header: " + message};
}

Error Error::unsupported_version(std::string identifier) {
  return {ErrorKind::UnsupportedVersion, "unsupported QEL version: " + identifier};
}

Error Error::unknown_header_token(std::string key) {
  return {ErrorKind::UnknownHeaderToken, "unknown header token '" + key + "'"};
}

Error Error::metablock_crc_mismatch(std::uint32_t header, std::uint32_t computed) {
  return {ErrorKind::MetablockCrcMismatch, "metablock CRC mismatch: header token 0x" +
                                               hex8(header) + ", computed 0x" + hex8(computed)};
}

Error Error::header_line_too_long(std::size_t limit) {
  return {ErrorKind::HeaderLineTooLong,
          "magic header line exceeded " + std::to_string(limit) + " bytes without terminator"};
}

Error Error::invalid_metablock(std::string message) {
  return {ErrorKind::InvalidMetablock, "invalid QEL metablock: " + message};
}

Error Error::removed_field(std::string_view field, std::string_view value,
                           std::optional<std::string_view> replacement) {
  std::string text =
      "field " + quoted(field) + " uses " + quoted(value) + ", removed in spec revision 2026-05-04";
  if (replacement) text += " \xE2\x80\x94 replacement: " + quoted(*replacement);
  return {ErrorKind::RemovedField, std::move(text)};
}

Error Error::metablock_json(std::string library_message) {
  return {ErrorKind::MetablockJson, "QEL5 metablock JSON parse error: " + library_message};
}

Error Error::metablock_xml(std::string message) {
  return {ErrorKind::MetablockXml, "QEL4 metablock XML parse error: " + message};
}

Error Error::unknown_channel_index(std::uint16_t index) {
  return {ErrorKind::UnknownChannelIndex,
          "block references unknown channel index " + std::to_string(index)};
}

Error Error::invalid_block_payload(std::string message) {
  return {ErrorKind::InvalidBlockPayload, "invalid QEL block payload: " + message};
}

Error Error::mixed_storage(std::uint16_t channel) {
  return {ErrorKind::MixedStorage,
          channel_text(channel) + " mixes equidistant and timestamped blocks"};
}

Error Error::continued_without_start(std::uint16_t channel) {
  return {ErrorKind::ContinuedWithoutStart,
          channel_text(channel) + " produced bcContinuedData without a preceding bcStartData"};
}

Error Error::rel_stamp_without_anchor(std::uint16_t channel) {
  return {ErrorKind::RelStampWithoutAnchor,
          channel_text(channel) + " produced bcContinuedRelStampData without an absolute anchor"};
}

Error Error::data_type_mismatch(std::uint16_t channel, std::string_view expected,
                                std::string_view got) {
  return {ErrorKind::DataTypeMismatch, channel_text(channel) + " data type mismatch: expected " +
                                           std::string(expected) + ", got block payload " +
                                           std::string(got)};
}

Error Error::channel_not_found(std::string_view name) {
  return {ErrorKind::ChannelNotFound, "channel " + quoted(name) + " not found"};
}

Error Error::flat_access_mismatch(std::uint16_t channel, std::string_view requested,
                                  std::string_view holds) {
  return {ErrorKind::FlatAccessMismatch,
          channel_text(channel) + " flat-access mismatch: requested " + std::string(requested) +
              ", channel holds " + std::string(holds)};
}

Error Error::no_channels() {
  return {ErrorKind::NoChannels, "writer has no channels declared"};
}

Error Error::out_of_memory() noexcept {
  return {ErrorKind::OutOfMemory, "out of memory"};  // short enough to be stored inline
}

void prepare_error_path() noexcept {
  // Asking for the count reaches the runtime's per-thread exception state.
  [[maybe_unused]] const volatile int pending = std::uncaught_exceptions();
  log::prepare_thread();
}

Error Error::cancelled() {
  return {ErrorKind::Cancelled, "operation cancelled"};
}

}  // namespace qel
