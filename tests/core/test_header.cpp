#include <gtest/gtest.h>

#include <string>

#include "qel/header.hpp"

namespace qel {
namespace {

struct HeaderCase {
  const char* label;
  std::string input;  // bytes handed to the stream reader
  std::string error;  // expected message, empty when the line parses
  std::uint64_t length = 0;
  IntegrityProfile integrity = IntegrityProfile::none;
  std::optional<std::uint32_t> crc = std::nullopt;
  std::uint32_t version = 5;
};

Result<MagicHeader> parse(const std::string& input) {
  MemoryInputStream stream(
      std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
  return parse_magic_header(stream);
}

class HeaderLine : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLine, ParsesOrFailsWithExactMessage) {
  const HeaderCase& c = GetParam();
  const auto header = parse(c.input);
  if (!c.error.empty()) {
    ASSERT_FALSE(header) << c.label;
    EXPECT_EQ(header.error().message(), c.error);
    return;
  }
  ASSERT_TRUE(header) << header.error().message();
  EXPECT_EQ(header->version, c.version);
  EXPECT_EQ(header->metablock_len, c.length);
  EXPECT_EQ(header->integrity, c.integrity);
  EXPECT_EQ(header->metablock_crc32c, c.crc);
}

const std::string kBad = "invalid QEL magic header: ";
const std::string kSpaces =
    kBad +
    "malformed magic header: fields must be separated by a single space with no trailing space";
const std::string kCrc = "crc32c:0A0B0C0D";
const std::string kKey = "ed25519:0123456789abcdef";

INSTANTIATE_TEST_SUITE_P(
    Grammar, HeaderLine,
    testing::Values(
        HeaderCase{"v4", "QEL4 1834\n", "", 1834, IntegrityProfile::none, std::nullopt, 4},
        HeaderCase{"v4_long_name", "KAVRI_STREAM_FORMAT4 7\n", "", 7, IntegrityProfile::none,
                   std::nullopt, 4},
        HeaderCase{"v4_longer_name", "KAVRI_STREAMING_FORMAT4 7\n", "", 7, IntegrityProfile::none,
                   std::nullopt, 4},
        HeaderCase{"v5", "QEL5 2210\n", "", 2210}, HeaderCase{"crlf", "QEL5 12\r\n", "", 12},
        HeaderCase{"two_cr", "QEL5 12\r\r\n",
                   kBad + "metablock length is not a valid u64: \"12\\r\""},
        HeaderCase{"plus", "QEL5 +12\n", "", 12},
        HeaderCase{"max_u64", "QEL5 18446744073709551615\n", "", 18446744073709551615ull},
        HeaderCase{"overflow", "QEL5 18446744073709551616\n",
                   kBad + "metablock length is not a valid u64: \"18446744073709551616\""},
        HeaderCase{"minus", "QEL5 -12\n", kBad + "metablock length is not a valid u64: \"-12\""},
        HeaderCase{"lone_plus", "QEL5 +\n", kBad + "metablock length is not a valid u64: \"+\""},
        HeaderCase{"hex", "QEL5 0x10\n", kBad + "metablock length is not a valid u64: \"0x10\""},
        HeaderCase{"no_space", "QEL5\n", kBad + "expected '<identifier> <length>', got: \"QEL5\""},
        HeaderCase{"no_length", "QEL5 \n",
                   kBad + "missing metablock length after identifier \"QEL5\""},
        HeaderCase{"double_space", "QEL5  12\n",
                   kBad + "missing metablock length after identifier \"QEL5\""},
        HeaderCase{"v6", "QEL6 12\n", "unsupported QEL version: QEL6"},
        HeaderCase{"lowercase_id", "qel5 12\n", "unsupported QEL version: qel5"},
        HeaderCase{"leading_space", " 12\n", "unsupported QEL version: "},
        HeaderCase{"v4_token", "QEL4 12 crc32c:00000000\n",
                   kBad + "header tokens are only allowed for QEL5; found \"crc32c:00000000\" "
                          "after an QEL4 identifier"},
        HeaderCase{"v4_trailing", "QEL4 12 \n", kSpaces},
        HeaderCase{"v5_trailing", "QEL5 12 \n", kSpaces},
        HeaderCase{"v5_double_space_token", "QEL5 12  " + kCrc + "\n", kSpaces},
        HeaderCase{"crc", "QEL5 12 " + kCrc + "\n", "", 12, IntegrityProfile::crc32c, 0x0A0B0C0D},
        HeaderCase{"crc_then_key", "QEL5 12 " + kCrc + " " + kKey + "\n", "", 12,
                   IntegrityProfile::ed25519, 0x0A0B0C0D},
        HeaderCase{"crc_key_crc", "QEL5 12 " + kCrc + " " + kKey + " crc32c:00000001\n", "", 12,
                   IntegrityProfile::crc32c, 1},
        HeaderCase{"key_first", "QEL5 12 " + kKey + "\n",
                   kBad + "ed25519 token is only valid after a crc32c token (crc32c first)"},
        HeaderCase{
            "key_first_bad_hex", "QEL5 12 ed25519:0123456789ABCDEF\n",
            kBad + "ed25519 keyid must be 16 lowercase hex digits, got \"0123456789ABCDEF\""},
        HeaderCase{"crc_lowercase", "QEL5 12 crc32c:0a0b0c0d\n",
                   kBad + "crc32c token value must be 8 uppercase hex digits, got \"0a0b0c0d\""},
        HeaderCase{"crc_short", "QEL5 12 crc32c:0A0B0C0\n",
                   kBad + "crc32c token value must be 8 uppercase hex digits, got \"0A0B0C0\""},
        HeaderCase{"crc_extra_colon", "QEL5 12 crc32c:0A0B:C0D\n",
                   kBad + "crc32c token value must be 8 uppercase hex digits, got \"0A0B:C0D\""},
        HeaderCase{"upper_key", "QEL5 12 CRC32C:0A0B0C0D\n",
                   kBad + "malformed header token key (lowercase a-z, 0-9, '-' only): \"CRC32C\""},
        HeaderCase{"empty_key", "QEL5 12 :x\n",
                   kBad + "malformed header token key (lowercase a-z, 0-9, '-' only): \"\""},
        HeaderCase{"no_colon", "QEL5 12 crc32c\n",
                   kBad + "malformed header token, expected 'key:value': \"crc32c\""},
        HeaderCase{"unknown_key", "QEL5 12 sha256:00\n", "unknown header token 'sha256'"},
        HeaderCase{"no_newline", "QEL5 12", kBad + "unexpected end of input before newline"},
        HeaderCase{"empty", "", kBad + "unexpected end of input before newline"},
        HeaderCase{
            "bad_utf8", "QEL5 1\xC3\x28\n",
            kBad +
                "magic header is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 6"},
        HeaderCase{
            "cut_utf8", "QEL5 1\xE2\x82\n",
            kBad + "magic header is not valid UTF-8: incomplete utf-8 byte sequence from index 6"}),
    [](const auto& test) { return std::string(test.param.label); });

std::string line_of(std::size_t bytes) {
  std::string line = "QEL5 1 x-pad:";
  line.resize(bytes, 'a');
  return line;
}

TEST(HeaderLimit, ExactlyTheLimitIsReadAndOneMoreFails) {
  const std::string too_long = "magic header line exceeded 128 bytes without terminator";
  const auto at_limit = parse(line_of(128) + "\n");
  ASSERT_FALSE(at_limit);  // read completely, then refused for its unknown token
  EXPECT_EQ(at_limit.error().message(), "unknown header token 'x-pad'");
  EXPECT_EQ(parse(line_of(129)).error().message(), too_long);
  EXPECT_EQ(parse(line_of(128) + "\r\n").error().message(), too_long);
  EXPECT_TRUE(parse("QEL5 " + std::string(122, '0') + "7\n"));
}

TEST(HeaderStream, ConsumesNothingAfterTheLineFeed) {
  const std::string input = "QEL5 3\nabc";
  MemoryInputStream stream(
      std::span(reinterpret_cast<const std::uint8_t*>(input.data()), input.size()));
  ASSERT_TRUE(parse_magic_header(stream));
  std::array<std::uint8_t, 8> rest{};
  const auto got = read_full(stream, rest);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, 3u);
  EXPECT_EQ(rest[0], 'a');
}

}  // namespace
}  // namespace qel
