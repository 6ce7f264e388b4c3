// The four vocabulary parsers and their log records.

#include "test_support.hpp"

namespace {

using qel::ChannelType;
using qel::DataType;
using qel::SpectrumType;
using qel::test::Captured;

// The kinds of records: an alias, an unknown spelling (exact match only), an
// unknown channel type kept verbatim, an unknown spectrum type.
TEST(VocabularyLog, AliasesAndFallbacks) {
  const Captured captured;
  EXPECT_EQ(qel::parse_data_type("bytearray"), DataType(qel::DataTypeId::Binary));
  EXPECT_EQ(qel::parse_data_type("int8 "), DataType::unsupported("int8 "));
  EXPECT_EQ(qel::parse_data_type("PAIR"), DataType::unsupported("PAIR"));
  EXPECT_EQ(qel::parse_channel_type("matrix"), ChannelType(qel::ChannelTypeId::Matrix));
  EXPECT_EQ(qel::parse_channel_type("Scalar").wire_spelling(), "Scalar");
  EXPECT_EQ(qel::spectrum_type_from_wire("ampphasedeg"), SpectrumType::AmpPhaseDeg);
  EXPECT_EQ(qel::spectrum_type_from_wire("RealImag"), SpectrumType::Amplitude);
  const std::string unsupported =
      " is not known to this build; channel kept as Unsupported, block reads will fail";
  EXPECT_EQ(
      qel::test::log_lines(captured),
      (std::vector<std::string>{
          "D meta: datatype \"bytearray\": read-side alias used, normalising to \"binary\"",
          "W meta: datatype \"int8 \"" + unsupported, "W meta: datatype \"PAIR\"" + unsupported,
          "W meta: channeltype \"Scalar\" is not a known QEL channel type; kept verbatim",
          "W meta: unknown spectrum type \"RealImag\"; defaulting to amplitude"}));
}

TEST(VocabularyDataType, WithdrawnSpellingFailsWithRemovedField) {
  const Captured captured;
  auto type = qel::parse_data_type("triple");
  ASSERT_FALSE(type);
  EXPECT_EQ(type.error().kind(), qel::ErrorKind::RemovedField);
  EXPECT_TRUE(
      type.error().message().starts_with("field \"datatype\" uses \"triple\", removed in "));
  EXPECT_TRUE(
      type.error().message().ends_with("replacement: \"two or three separate double "
                                       "channels\""));
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(VocabularySizeOfLengthValue, OnlyTwoAndFour) {
  EXPECT_EQ(qel::validate_size_of_length_value(2), 2);
  EXPECT_EQ(qel::validate_size_of_length_value(4), 4);
  // 258 and 260 would pass if the value were narrowed to a byte first.
  for (const std::uint32_t value : {0U, 3U, 258U, 260U}) {
    auto result = qel::validate_size_of_length_value(value);
    ASSERT_FALSE(result) << value;
    EXPECT_EQ(result.error().message(),
              qel::test::invalid("sizeoflengthvalue must be 2 or 4, got " + std::to_string(value)));
  }
}

}  // namespace
