
#include <utility>

#include "common/utf8.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

// Positions beyond eight bytes run through the word-at-a-time ASCII scan.
TEST(Utf8, FindsTheFirstInvalidSequence) {
  for (const auto& [input, expected] : std::vector<std::pair<std::string, std::string>>{
           {std::string(100, 'a'), ""},
           {"abcdefgh\xC3\xA9zz\xE2\x80\x94\xF0\x9F\x98\x80", ""},
           {"abcdefghij\xC3\x28", "invalid utf-8 sequence of 1 bytes from index 10"},
           {"abcdefgh\xE2\x82", "incomplete utf-8 byte sequence from index 8"},
           {"abcdefghijklmnop\xE2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 16"},
           {"\xF0\x9F\x98\x28", "invalid utf-8 sequence of 3 bytes from index 0"},
           // Surrogates, beyond U+10FFFF, overlong forms.
           {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
           {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
           {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"}}) {
    const auto error = validate_utf8(test::bytes_of(input));
    EXPECT_EQ(error ? describe(*error) : "", expected) << input;
  }
  EXPECT_EQ(from_utf8_lossy(test::bytes_of("ab\xC3\x28\xE2\x82")), "ab\xEF\xBF\xBD(\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qel
