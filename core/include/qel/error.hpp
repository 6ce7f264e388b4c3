#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace qel {

// The kinds in their wire order; the numbers are the discriminants of the error.
enum class ErrorKind : std::uint16_t {
  Io = 0,
  InvalidMagicHeader = 1,
  UnsupportedVersion = 2,
  UnknownHeaderToken = 3,
  MetablockCrcMismatch = 4,
  HeaderLineTooLong = 5,
  InvalidMetablock = 6,
  RemovedField = 7,
  MetablockJson = 8,
  MetablockXml = 9,
  UnknownChannelIndex = 10,
  InvalidBlockPayload = 11,
  MixedStorage = 12,
  ContinuedWithoutStart = 13,
  RelStampWithoutAnchor = 14,
  DataTypeMismatch = 15,
  ChannelNotFound = 16,
  FlatAccessMismatch = 17,
  NoChannels = 18,
  // Beside the wire kinds: an allocation failed. The Python module raises
  // MemoryError for it.
  OutOfMemory = 19,
  // Beside the wire kinds: the caller's cancellation check told the work to
  // stop (see qel/cancel.hpp).
  Cancelled = 20,
};

// The one failure value of the library. The display text is rendered when the
// error is made: it is all that ever reaches a user.
class Error {
 public:
  // An operating-system error: its description and "(os error N)".
  static Error io(int os_errno);
  // An I/O failure without an OS error number (early end of data, corrupt
  // compressed data); `description` is the whole text after the prefix.
  static Error io_message(std::string description);
  // What a read of a fixed number of bytes reports when the data ends first.
  static Error unexpected_eof();
  static Error invalid_magic_header(std::string message);
  static Error unsupported_version(std::string identifier);
  static Error unknown_header_token(std::string key);
  static Error metablock_crc_mismatch(std::uint32_t header, std::uint32_t computed);
  static Error header_line_too_long(std::size_t limit);
  static Error invalid_metablock(std::string message);
  static Error removed_field(std::string_view field, std::string_view value,
                             std::optional<std::string_view> replacement);
  static Error metablock_json(std::string library_message);
  static Error metablock_xml(std::string message);
  static Error unknown_channel_index(std::uint16_t index);
  static Error invalid_block_payload(std::string message);
  static Error mixed_storage(std::uint16_t channel);
  static Error continued_without_start(std::uint16_t channel);
  static Error rel_stamp_without_anchor(std::uint16_t channel);
  // The types as DataType::display_name() renders them.
  static Error data_type_mismatch(std::uint16_t channel, std::string_view expected,
                                  std::string_view got);
  static Error channel_not_found(std::string_view name);
  static Error flat_access_mismatch(std::uint16_t channel, std::string_view requested,
                                    std::string_view holds);
  static Error no_channels();
  // "out of memory"; making it allocates nothing.
  static Error out_of_memory() noexcept;
  // "operation cancelled"
  static Error cancelled();

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;

  ErrorKind kind() const noexcept { return kind_; }
  // The display text.
  const std::string& message() const noexcept { return text_; }

 private:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  std::string text_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

// The quoted form used inside messages: double quotes around the text, a
// backslash before '"' and '\', control characters escaped.
std::string quoted(std::string_view text);
// Overloads that win over std::quoted, which argument-dependent lookup would
// otherwise pick for std::string and character-pointer arguments.
inline std::string quoted(const std::string& text) {
  return quoted(std::string_view(text));
}
inline std::string quoted(std::string& text) {
  return quoted(std::string_view(text));
}
inline std::string quoted(const char* text) {
  return quoted(std::string_view(text));
}

// Makes the calling thread's storage for thrown exceptions and log records
// exist now, while memory is there: the runtime allocates it on first use, and
// the C library ends the process when it cannot. Boundaries that turn an
// allocation failure into an error call it before they start work.
void prepare_error_path() noexcept;

// Eight uppercase hexadecimal digits, zero-padded.
std::string hex8(std::uint32_t value);

// A sample rate as messages and renderings show it: plain decimal, fewest
// digits, NaN, inf, -inf.
std::string format_rate(double rate);

}  // namespace qel

#define QEL_CONCAT_INNER(a, b) a##b
#define QEL_CONCAT(a, b) QEL_CONCAT_INNER(a, b)

// Returns the error of a failed Result/Status from the enclosing function.
#define QEL_TRY(expr)                                                                 \
  do {                                                                                \
    auto&& qel_try_result_ = (expr);                                                  \
    if (!qel_try_result_) return std::unexpected(std::move(qel_try_result_).error()); \
  } while (false)

#define QEL_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)           \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(*tmp)

// Declares or assigns `lhs` from a Result, returning its error on failure.
#define QEL_ASSIGN_OR_RETURN(lhs, expr) \
  QEL_ASSIGN_OR_RETURN_IMPL(QEL_CONCAT(qel_result_, __LINE__), lhs, expr)
