
#include <random>

#include "qel/integrity.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

using test::bytes_of;

// The bit-at-a-time algorithm, as the reference.
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

TEST(Crc32c, PortableMatchesTheReferenceAndPiecesTheWhole) {
  EXPECT_EQ(crc32c(bytes_of("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
  const auto data = random_bytes(4096 + 8, 1);
  for (std::size_t n = 0; n <= 4096; n += 61) {
    const auto slice = std::span(data).subspan(n % 8, n);
    ASSERT_EQ(detail::crc32c_portable(0, slice), reference_crc(slice)) << n;
  }
  const auto all = std::span<const std::uint8_t>(data);
  EXPECT_EQ(crc32c_of_parts({all.first(2), all.subspan(2, 4), all.subspan(6)}), crc32c(all));
  EXPECT_EQ(crc32c_extend(crc32c(all.first(333)), all.subspan(333)), crc32c(all));
}

struct CrcPath {
  const char* name;
  std::uint32_t (*crc)(std::uint32_t, std::span<const std::uint8_t>) noexcept;
  bool (*available)() noexcept;
};

class Crc32cPath : public testing::TestWithParam<CrcPath> {};

// Every short length at every alignment, every length across the folding
// thresholds, and the borders of the 22528- and 5632-byte chunks; each continues
// from a CRC that depends on the length so a wrong initial value shows.
TEST_P(Crc32cPath, MatchesPortable) {
  if (!GetParam().available()) GTEST_SKIP() << "not supported by this CPU";
  const auto data = random_bytes((1u << 20) + 64, 2);
  const auto check = [&](std::size_t offset, std::size_t n) {
    const auto slice = std::span(data).subspan(offset, n);
    const auto start = static_cast<std::uint32_t>(n * 0x9E3779B9u);
    ASSERT_EQ(GetParam().crc(start, slice), detail::crc32c_portable(start, slice))
        << "length " << n << " offset " << offset;
  };
  for (std::size_t offset = 0; offset < 64; ++offset) {
    for (std::size_t n = 0; n <= 300; ++n) check(offset, n);
  }
  for (std::size_t n = 300; n <= 2400; ++n) check(n % 64, n);
  for (const std::size_t n :
       {5631u, 5632u, 6656u, 22527u, 22528u, 23552u, 28160u, 262151u, 1u << 20}) {
    for (const std::size_t offset : {0u, 5u, 63u}) check(offset, n);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Crc32cPath,
    testing::Values(CrcPath{"hardware", detail::crc32c_hardware, detail::crc32c_hardware_available},
                    CrcPath{"fold64", detail::crc32c_fold64, detail::crc32c_fold64_available}),
    [](const testing::TestParamInfo<CrcPath>& test) { return std::string(test.param.name); });

TEST(Integrity, MetablockCrcAndVerificationStatus) {
  EXPECT_TRUE(verify_metablock_crc(std::nullopt, bytes_of("anything")));
  EXPECT_TRUE(verify_metablock_crc(0xE3069283u, bytes_of("123456789")));
  const auto failed = verify_metablock_crc(0x12u, {});
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "metablock CRC mismatch: header token 0x00000012, computed 0x00000000");
  EXPECT_EQ(verification_status(IntegrityProfile::none, 3), "none");
  EXPECT_EQ(verification_status(IntegrityProfile::crc32c, 0), "crc_valid");
  EXPECT_EQ(verification_status(IntegrityProfile::crc32c, 1), "invalid");
  EXPECT_EQ(verification_status(IntegrityProfile::ed25519, 0), "signature_unverifiable");
}

}  // namespace
}  // namespace qel
