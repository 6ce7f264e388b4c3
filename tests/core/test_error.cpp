#include <gtest/gtest.h>

#include "qel/error.hpp"
#include "qel/types.hpp"

namespace qel {
namespace {

struct Rendering {
  const char* label;
  std::string expected;
  std::string actual;
};

class ErrorRendering : public testing::TestWithParam<Rendering> {};

TEST_P(ErrorRendering, RendersExactText) {
  EXPECT_EQ(GetParam().actual, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorRendering,
    testing::Values(
        Rendering{"crc_padded",
                  "metablock CRC mismatch: header token 0x00001A2B, computed 0xFFFFFFFF",
                  Error::metablock_crc_mismatch(0x1A2B, 0xFFFFFFFF).message()},
        Rendering{"crc_zero",
                  "metablock CRC mismatch: header token 0x00000000, computed 0x0000000A",
                  Error::metablock_crc_mismatch(0, 10).message()},
        Rendering{"line_too_long", "magic header line exceeded 128 bytes without terminator",
                  Error::header_line_too_long(128).message()},
        Rendering{
            "removed_with_replacement",
            "field \"datatype\" uses \"pair\", removed in spec revision 2026-05-04 \xE2\x80\x94 "
            "replacement: \"two or three separate double channels\"",
            Error::removed_field("datatype", "pair", "two or three separate double channels")
                .message()},
        Rendering{"removed_without_replacement",
                  "field \"datatype\" uses \"x\", removed in spec revision 2026-05-04",
                  Error::removed_field("datatype", "x", std::nullopt).message()},
        Rendering{"channel_not_found_escapes", "channel \"a\\\"b\" not found",
                  Error::channel_not_found("a\"b").message()},
        Rendering{"flat_access",
                  "channel 3 flat-access mismatch: requested String, channel holds Double",
                  Error::flat_access_mismatch(3, DataTypeId::String, DataTypeId::Double).message()},
        Rendering{
            "mismatch_unsupported",
            "channel 1 data type mismatch: expected Unsupported(\"x\"), got block payload Int8",
            Error::data_type_mismatch(1, DataType::unsupported("x"), DataTypeId::Int8).message()},
        Rendering{"no_channels", "writer has no channels declared", Error::no_channels().message()},
        Rendering{"unknown_token", "unknown header token 'sha256'",
                  Error::unknown_header_token("sha256").message()},
        Rendering{"io_os", "I/O error: No such file or directory (os error 2)",
                  Error::io(2).message()},
        Rendering{"mixed", "channel 4 mixes equidistant and timestamped blocks",
                  Error::mixed_storage(4).message()}),
    [](const auto& test) { return std::string(test.param.label); });

struct QuotedCase {
  std::string input;
  std::string expected;
};

class Quoted : public testing::TestWithParam<QuotedCase> {};

TEST_P(Quoted, EscapesLikeMessagesExpect) {
  EXPECT_EQ(qel::quoted(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Escapes, Quoted,
                         testing::Values(QuotedCase{"speed", "\"speed\""}, QuotedCase{"", "\"\""},
                                         QuotedCase{"a\\b", "\"a\\\\b\""},
                                         QuotedCase{"l1\nl2\tx\r", "\"l1\\nl2\\tx\\r\""},
                                         QuotedCase{std::string("\0\x1b\x7f", 3),
                                                    "\"\\u{0}\\u{1b}\\u{7f}\""},
                                         QuotedCase{"\xC2\x85", "\"\\u{85}\""},
                                         QuotedCase{"\xC2\xB0"
                                                    "C \xE2\x80\x94",
                                                    "\"\xC2\xB0"
                                                    "C \xE2\x80\x94\""}));

TEST(Error, KindIsItsDiscriminant) {
  EXPECT_EQ(static_cast<int>(Error::no_channels().kind()), 18);
  EXPECT_EQ(Error::unexpected_eof().kind(), ErrorKind::Io);
}

}  // namespace
}  // namespace qel
