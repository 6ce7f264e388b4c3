#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

#include "qel/error.hpp"

namespace qel {

enum class IntegrityProfile : std::uint8_t { none = 0, crc32c = 1, ed25519 = 2 };

// "none", "crc32c", "ed25519".
std::string_view to_string(IntegrityProfile profile) noexcept;
// The profile of one of those names, or nothing.
std::optional<IntegrityProfile> integrity_profile_named(std::string_view name) noexcept;

// CRC-32C (Castagnoli) of `bytes`.
std::uint32_t crc32c(std::span<const std::uint8_t> bytes) noexcept;

// Continues a CRC-32C: crc32c_extend(crc32c(a), b) == crc32c(a + b).
std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;

// CRC-32C of the concatenation of `parts`, without joining them.
std::uint32_t crc32c_of_parts(std::initializer_list<std::span<const std::uint8_t>> parts) noexcept;

// Checks the metablock against the header's `crc32c` token, if there is one.
Status verify_metablock_crc(std::optional<std::uint32_t> expected,
                            std::span<const std::uint8_t> metablock);

// "none", "crc_valid", "invalid" or "signature_unverifiable".
std::string_view verification_status(IntegrityProfile profile,
                                     std::uint64_t blocks_crc_failed) noexcept;

namespace detail {
// The implementations behind crc32c_extend, exposed so they can be compared:
// a table, the crc32 instruction, and carry-less multiply folding of 64-byte
// vectors (which needs the crc32 instruction as well).
std::uint32_t crc32c_portable(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
std::uint32_t crc32c_hardware(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
bool crc32c_hardware_available() noexcept;
std::uint32_t crc32c_fold64(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept;
bool crc32c_fold64_available() noexcept;
}  // namespace detail

}  // namespace qel
