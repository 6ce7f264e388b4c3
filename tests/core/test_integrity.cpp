#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

#include "qel/integrity.hpp"

namespace qel {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The byte-at-a-time table algorithm, as the reference.
std::uint32_t reference_crc(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) ? 0x82F63B78 : 0);
  }
  return ~crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 engine(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(engine());
  return out;
}

TEST(Crc32c, CheckValues) {
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
  EXPECT_EQ(detail::crc32c_portable(0, bytes_of("123456789")), 0xE3069283u);
}

TEST(Crc32c, BothPathsMatchReferenceOnEveryShortLengthAndAlignment) {
  const auto data = random_bytes(64 + 8, 1);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t n = 0; n <= 64; ++n) {
      const auto slice = std::span(data).subspan(offset, n);
      const std::uint32_t expected = reference_crc(slice);
      ASSERT_EQ(detail::crc32c_portable(0, slice), expected) << n;
      if (detail::crc32c_hardware_available()) {
        ASSERT_EQ(detail::crc32c_hardware(0, slice), expected) << n;
      }
    }
  }
}

TEST(Crc32c, BothPathsAgreeOnLargeInputs) {
  for (const std::size_t n : {4096u, 65537u, 1u << 20}) {
    const auto data = random_bytes(n, static_cast<unsigned>(n));
    const std::uint32_t portable = detail::crc32c_portable(0, data);
    EXPECT_EQ(portable, reference_crc(data));
    if (detail::crc32c_hardware_available()) {
      EXPECT_EQ(detail::crc32c_hardware(0, data), portable);
    }
  }
}

TEST(Crc32c, PartsEqualTheConcatenation) {
  const auto data = random_bytes(1000, 7);
  const auto all = std::span<const std::uint8_t>(data);
  EXPECT_EQ(crc32c_of_parts({all.first(2), all.subspan(2, 4), all.subspan(6)}), crc32c(all));
  EXPECT_EQ(crc32c_of_parts({}), 0u);
  EXPECT_EQ(crc32c_extend(crc32c(all.first(333)), all.subspan(333)), crc32c(all));
}

TEST(VerifyMetablockCrc, ChecksOnlyWhenATokenIsPresent) {
  EXPECT_TRUE(verify_metablock_crc(std::nullopt, bytes_of("anything")));
  EXPECT_TRUE(verify_metablock_crc(0u, {}));
  const auto failed = verify_metablock_crc(0x12u, {});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "metablock CRC mismatch: header token 0x00000012, computed 0x00000000");
  EXPECT_TRUE(verify_metablock_crc(0xE3069283u, bytes_of("123456789")));
}

TEST(Integrity, ProfileTextsAndVerificationStatus) {
  EXPECT_EQ(to_string(IntegrityProfile::none), "none");
  EXPECT_EQ(to_string(IntegrityProfile::crc32c), "crc32c");
  EXPECT_EQ(to_string(IntegrityProfile::ed25519), "ed25519");
  EXPECT_EQ(verification_status(IntegrityProfile::none, 3), "none");
  EXPECT_EQ(verification_status(IntegrityProfile::crc32c, 0), "crc_valid");
  EXPECT_EQ(verification_status(IntegrityProfile::crc32c, 1), "invalid");
  EXPECT_EQ(verification_status(IntegrityProfile::ed25519, 0), "signature_unverifiable");
}

}  // namespace
}  // namespace qel
