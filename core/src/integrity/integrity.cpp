#include "qel/integrity.hpp"

namespace qel {

std::string_view to_string(IntegrityProfile profile) noexcept {
  switch (profile) {
    case IntegrityProfile::crc32c:
      return "crc32c";
    case IntegrityProfile::ed25519:
      return "ed25519";
    case IntegrityProfile::none:
      break;
  }
  return "none";
}

std::optional<IntegrityProfile> integrity_profile_named(std::string_view name) noexcept {
  for (const auto profile :
       {IntegrityProfile::none, IntegrityProfile::crc32c, IntegrityProfile::ed25519}) {
    if (to_string(profile) == name) return profile;
  }
  return std::nullopt;
}

namespace {

using Crc = std::uint32_t (*)(std::uint32_t, std::span<const std::uint8_t>) noexcept;

Crc fastest_crc() noexcept {
  if (detail::crc32c_fold64_available()) return detail::crc32c_fold64;
  if (detail::crc32c_hardware_available()) return detail::crc32c_hardware;
  return detail::crc32c_portable;
}

}  // namespace

std::uint32_t crc32c_extend(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  static const Crc crc_function = fastest_crc();
  return crc_function(crc, bytes);
}

std::uint32_t crc32c(std::span<const std::uint8_t> bytes) noexcept {
  return crc32c_extend(0, bytes);
}

std::uint32_t crc32c_of_parts(std::initializer_list<std::span<const std::uint8_t>> parts) noexcept {
  std::uint32_t crc = 0;
  for (const auto part : parts) crc = crc32c_extend(crc, part);
  return crc;
}

Status verify_metablock_crc(std::optional<std::uint32_t> expected,
                            std::span<const std::uint8_t> metablock) {
  if (!expected) return {};
  const std::uint32_t computed = crc32c(metablock);
  if (computed != *expected) {
    return std::unexpected(Error::metablock_crc_mismatch(*expected, computed));
  }
  return {};
}

std::string_view verification_status(IntegrityProfile profile,
                                     std::uint64_t blocks_crc_failed) noexcept {
  switch (profile) {
    case IntegrityProfile::none:
      return "none";
    case IntegrityProfile::crc32c:
      return blocks_crc_failed == 0 ? "crc_valid" : "invalid";
    case IntegrityProfile::ed25519:
      break;
  }
  return "signature_unverifiable";
}

}  // namespace qel
