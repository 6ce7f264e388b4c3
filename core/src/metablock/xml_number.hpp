#pragma once

// The number syntax of version-4 metablock attributes.

#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>

namespace qel::xml_number {

// An optional '+', then one or more ASCII digits (leading zeros allowed), at
// most `max`. Nothing else: no '-', no spaces.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) noexcept;

// An optional '+' or '-', then one or more ASCII digits, within the signed
// 64-bit range. The error is one of "cannot parse integer from empty string",
// "invalid digit found in string" (a lone sign included), "number too large
// to fit in target type", "number too small to fit in target type"; the first
// offending character decides, scanning from the left.
std::expected<std::int64_t, std::string_view> parse_i64(std::string_view text) noexcept;

// An optional sign, then digits with an optional decimal point and fraction
// (at least one digit) and an optional exponent (e or E, optional sign,
// digits), or inf, infinity, nan in any letter case. Magnitudes beyond the
// range give infinity, below it zero. The error is "cannot parse float from
// empty string" or "invalid float literal".
std::expected<double, std::string_view> parse_f64(std::string_view text) noexcept;

}  // namespace qel::xml_number
