#include "metablock/xml_number.hpp"

#include <charconv>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

namespace qel::xml_number {
namespace {

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

bool iequals(std::string_view a, std::string_view lower) noexcept {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

constexpr std::string_view kEmptyFloat = "cannot parse float from empty string";
constexpr std::string_view kInvalidFloat = "invalid float literal";

}  // namespace

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (digit > max || value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::expected<std::int64_t, std::string_view> parse_i64(std::string_view text) noexcept {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
    if (text.empty()) return std::unexpected("invalid digit found in string");
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  for (const char c : text) {
    if (!is_digit(c)) return std::unexpected("invalid digit found in string");
    const std::int64_t digit = c - '0';
    if (negative) {
      if (value < (kMin + digit) / 10)
        return std::unexpected("number too small to fit in target type");
      value = value * 10 - digit;
    } else {
      if (value > (kMax - digit) / 10)
        return std::unexpected("number too large to fit in target type");
      value = value * 10 + digit;
    }
  }
  return value;
}

std::expected<double, std::string_view> parse_f64(std::string_view text) noexcept {
  if (text.empty()) return std::unexpected(kEmptyFloat);
  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  const std::string_view body = text.substr(i);
  if (iequals(body, "inf") || iequals(body, "infinity")) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  }
  if (iequals(body, "nan")) return std::numeric_limits<double>::quiet_NaN();

  // Syntax check, and the decimal magnitude of the first significant digit
  // (to tell overflow from underflow when the conversion is out of range).
  const std::size_t n = text.size();
  std::size_t digits = 0;
  long long magnitude = 0;  // position of the first nonzero digit relative to the point
  bool significant = false;
  std::size_t int_digits_after_first = 0;
  while (i < n && is_digit(text[i])) {
    ++digits;
    if (text[i] != '0') significant = true;
    if (significant) ++int_digits_after_first;
    ++i;
  }
  magnitude = static_cast<long long>(int_digits_after_first);
  if (i < n && text[i] == '.') {
    ++i;
    long long leading_zeros = 0;
    while (i < n && is_digit(text[i])) {
      ++digits;
      if (!significant) {
        if (text[i] == '0') {
          ++leading_zeros;
        } else {
          significant = true;
          magnitude = -leading_zeros;
        }
      }
      ++i;
    }
  }
  if (digits == 0) return std::unexpected(kInvalidFloat);
  long long exponent = 0;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
      exp_negative = text[i] == '-';
      ++i;
    }
    std::size_t exp_digits = 0;
    while (i < n && is_digit(text[i])) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
      ++exp_digits;
      ++i;
    }
    if (exp_digits == 0) return std::unexpected(kInvalidFloat);
    if (exp_negative) exponent = -exponent;
  }
  if (i != n) return std::unexpected(kInvalidFloat);

  // std::from_chars takes no leading '+'.
  const std::string_view number = text.front() == '+' ? text.substr(1) : text;
  double value = 0.0;
  const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                      std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    const bool overflow = significant && magnitude + exponent > 0;
    value = overflow ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
  }
  if (result.ec != std::errc() || result.ptr != number.data() + number.size()) {
    return std::unexpected(kInvalidFloat);
  }
  return value;
}

}  // namespace qel::xml_number
