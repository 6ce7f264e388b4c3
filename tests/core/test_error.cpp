#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qel/error.hpp"
#include "qel/types.hpp"

namespace qel {
namespace {

TEST(Error, MessagesWithFormattedValues) {
  for (const auto& [actual, expected] : std::vector<std::pair<std::string, std::string>>{
           {Error::metablock_crc_mismatch(0x1A2B, 0xFFFFFFFF).message(),
            "metablock CRC mismatch: header token 0x00001A2B, computed 0xFFFFFFFF"},
           {Error::channel_not_found("a\"b").message(), "channel \"a\\\"b\" not found"},
           {Error::data_type_mismatch(1, DataType::unsupported("x").display_name(),
                                      DataType(DataTypeId::Int8).display_name())
                .message(),
            "channel 1 data type mismatch: expected Unsupported(\"x\"), got block payload Int8"},
           {Error::io(2).message(), "I/O error: No such file or directory (os error 2)"}}) {
    EXPECT_EQ(actual, expected);
  }
  const std::string with = Error::removed_field("datatype", "pair", "two").message();
  EXPECT_TRUE(with.starts_with("field \"datatype\" uses \"pair\", removed in ")) << with;
  EXPECT_TRUE(with.ends_with(" \xE2\x80\x94 replacement: \"two\"")) << with;
  EXPECT_EQ(Error::removed_field("datatype", "x", std::nullopt).message().find("replacement"),
            std::string::npos);
}

TEST(Error, QuotedEscapesControlCharacters) {
  for (const auto& [input, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", "\"\""},
           {"a\\b\"", "\"a\\\\b\\\"\""},
           {"l1\nl2\tx\r", "\"l1\\nl2\\tx\\r\""},
           {std::string("\0\x1b\x7f", 3), "\"\\u{0}\\u{1b}\\u{7f}\""},
           {"\xC2\x85", "\"\\u{85}\""},
           {"\xC2\xB0"
            "C \xE2\x80\x94",
            "\"\xC2\xB0"
            "C \xE2\x80\x94\""}}) {
    EXPECT_EQ(quoted(input), expected);
  }
}

}  // namespace
}  // namespace qel
