#include <gtest/gtest.h>

#include <string>

#include "qel/utf8.hpp"

namespace qel {
namespace {

struct Utf8Case {
  std::string input;
  std::string expected;  // describe() of the error, empty when valid
};

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Validate : public testing::TestWithParam<Utf8Case> {};

TEST_P(Validate, FindsTheFirstInvalidSequence) {
  const auto error = validate_utf8(bytes_of(GetParam().input));
  EXPECT_EQ(error ? describe(*error) : "", GetParam().expected);
}

// Positions beyond eight bytes run through the word-at-a-time ASCII scan.
INSTANTIATE_TEST_SUITE_P(
    Sequences, Validate,
    testing::Values(
        Utf8Case{"", ""}, Utf8Case{std::string(100, 'a'), ""},
        Utf8Case{"abcdefgh\xC3\xA9zz\xE2\x80\x94\xF0\x9F\x98\x80", ""},
        Utf8Case{"\xC3\x28", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"abcdefghij\xC3\x28", "invalid utf-8 sequence of 1 bytes from index 10"},
        Utf8Case{"abcdefgh\xE2\x82", "incomplete utf-8 byte sequence from index 8"},
        Utf8Case{"abcdefghijklmnop\xE2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 16"},
        Utf8Case{"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
        Utf8Case{"\xF0\x9F\x98\x28", "invalid utf-8 sequence of 3 bytes from index 0"},
        Utf8Case{"12345678\x80", "invalid utf-8 sequence of 1 bytes from index 8"},
        Utf8Case{"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"}));

TEST(FromUtf8Lossy, ReplacesEachInvalidSequenceOnce) {
  EXPECT_EQ(from_utf8_lossy(bytes_of("ab\xC3\x28\xE2\x82")), "ab\xEF\xBF\xBD(\xEF\xBF\xBD");
  EXPECT_EQ(from_utf8_lossy(bytes_of("QEL_STREAM_END")), "QEL_STREAM_END");
}

}  // namespace
}  // namespace qel
