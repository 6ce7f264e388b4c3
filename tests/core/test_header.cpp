
#include <utility>

#include "container/header.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

Result<MagicHeader> parse(const std::string& input) {
  MemoryInputStream stream(test::bytes_of(input));
  return parse_magic_header(stream);
}

// A parsed line as "v<version> <length> <integrity> <crc or ->", else the error message.
std::string describe(const Result<MagicHeader>& header) {
  if (!header) return header.error().message();
  return "v" + std::to_string(header->version) + " " + std::to_string(header->metablock_len) + " " +
         std::string(to_string(header->integrity)) + " " +
         (header->metablock_crc32c ? std::to_string(*header->metablock_crc32c) : "-");
}

TEST(Header, ParsesOrFailsWithExactMessage) {
  const std::string bad = "invalid QEL magic header: ";
  const std::string crc = " crc32c:0A0B0C0D";  // 168496141
  const std::string key = " ed25519:0123456789abcdef";
  for (const auto& [input, expected] : std::vector<std::pair<std::string, std::string>>{
           {"QEL4 1834\n", "v4 1834 none -"},
           {"KAVRI_STREAMING_FORMAT4 7\n", "v4 7 none -"},
           {"QEL5 +12\r\n", "v5 12 none -"},
           {"QEL5 18446744073709551615\n", "v5 18446744073709551615 none -"},
           {"QEL5 12\r\r\n", bad + "metablock length is not a valid u64: \"12\\r\""},
           {"QEL5 18446744073709551616\n",
            bad + "metablock length is not a valid u64: \"18446744073709551616\""},
           {"QEL5\n", bad + "expected '<identifier> <length>', got: \"QEL5\""},
           {"QEL5  12\n", bad + "missing metablock length after identifier \"QEL5\""},
           {"qel5 12\n", "unsupported QEL version: qel5"},
           {"QEL4 12 crc32c:00000000\n", bad + "header tokens are only allowed for QEL5; found "
                                               "\"crc32c:00000000\" after an QEL4 identifier"},
           {"QEL4 12 \n", bad + "malformed magic header: fields must be separated by a single "
                                "space with no trailing space"},
           {"QEL5 12" + crc + "\n", "v5 12 crc32c 168496141"},
           {"QEL5 12" + crc + key + "\n", "v5 12 ed25519 168496141"},
           {"QEL5 12" + crc + key + " crc32c:00000001\n", "v5 12 crc32c 1"},
           {"QEL5 12" + key + "\n",
            bad + "ed25519 token is only valid after a crc32c token (crc32c first)"},
           {"QEL5 12 crc32c:0a0b0c0d\n",
            bad + "crc32c token value must be 8 uppercase hex digits, got \"0a0b0c0d\""},
           {"QEL5 12 CRC32C:0A0B0C0D\n",
            bad + "malformed header token key (lowercase a-z, 0-9, '-' only): \"CRC32C\""},
           {"QEL5 12 crc32c\n", bad + "malformed header token, expected 'key:value': \"crc32c\""},
           {"QEL5 12 sha256:00\n", "unknown header token 'sha256'"},
           {"QEL5 12", bad + "unexpected end of input before newline"},
           {"QEL5 1\xE2\x82\n", bad + "magic header is not valid UTF-8: incomplete utf-8 byte "
                                      "sequence from index 6"}}) {
    EXPECT_EQ(describe(parse(input)), expected) << input;
  }
}

TEST(Header, ExactlyTheLimitIsReadAndOneMoreFails) {
  const auto line_of = [](std::size_t bytes) {
    std::string line = "QEL5 1 x-pad:";
    line.resize(bytes, 'a');
    return line;
  };
  const std::string too_long = "magic header line exceeded 128 bytes without terminator";
  // Read completely, then refused for its unknown token.
  EXPECT_EQ(describe(parse(line_of(128) + "\n")), "unknown header token 'x-pad'");
  EXPECT_EQ(describe(parse(line_of(129))), too_long);
  EXPECT_EQ(describe(parse(line_of(128) + "\r\n")), too_long);
}

TEST(Header, ConsumesNothingAfterTheLineFeed) {
  const std::string input = "QEL5 3\nabc";
  MemoryInputStream stream(test::bytes_of(input));
  ASSERT_TRUE(parse_magic_header(stream));
  std::array<std::uint8_t, 8> rest{};
  EXPECT_EQ(read_full(stream, rest), 3u);
  EXPECT_EQ(rest[0], 'a');
}

}  // namespace
}  // namespace qel
