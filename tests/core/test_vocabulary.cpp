// The four vocabulary parsers and their log records.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/error.hpp"
#include "qel/types.hpp"
#include "test_support.hpp"

namespace {

using qel::ChannelType;
using qel::ChannelTypeId;
using qel::DataType;
using qel::DataTypeId;
using qel::SpectrumType;
using qel::test::Captured;
using qel::test::log_lines;
using Lines = std::vector<std::string>;

TEST(VocabularyDataType, EveryWireSpellingRoundTripsWithoutARecord) {
  const Captured captured;
  const std::vector<std::pair<std::string_view, DataTypeId>> cases{
      {"bool", DataTypeId::Bool},     {"int8", DataTypeId::Int8},
      {"int16", DataTypeId::Int16},   {"int32", DataTypeId::Int32},
      {"int64", DataTypeId::Int64},   {"uint8", DataTypeId::UInt8},
      {"uint16", DataTypeId::UInt16}, {"uint32", DataTypeId::UInt32},
      {"uint64", DataTypeId::UInt64}, {"float", DataTypeId::Float},
      {"double", DataTypeId::Double}, {"string", DataTypeId::String},
      {"binary", DataTypeId::Binary}, {"gpslocation", DataTypeId::GpsLocation}};
  for (const auto& [spelling, id] : cases) {
    auto type = qel::parse_data_type(spelling);
    ASSERT_TRUE(type) << spelling;
    EXPECT_EQ(type->id(), id) << spelling;
    EXPECT_EQ(type->wire_spelling(), spelling);
  }
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(VocabularyDataType, BytearrayIsBinaryWithADebugRecord) {
  const Captured captured;
  EXPECT_EQ(qel::parse_data_type("bytearray"), DataType(DataTypeId::Binary));
  EXPECT_EQ(
      log_lines(captured),
      Lines{"D meta: datatype \"bytearray\": read-side alias used, normalising to \"binary\""});
}

TEST(VocabularyDataType, OtherSpellingsAreUnsupportedWithOneWarning) {
  // Letter case, surrounding space, nothing, a display name, a withdrawn spelling in capitals.
  for (const std::string_view text : {"Int8", "int8 ", "", "ByteArray", "PAIR"}) {
    const Captured captured;
    EXPECT_EQ(qel::parse_data_type(text), DataType::unsupported(std::string(text)));
    EXPECT_EQ(log_lines(captured),
              Lines{"W meta: datatype " + qel::quoted(text) +
                    " is not known to this build; channel kept as Unsupported, block reads will "
                    "fail"});
  }
  EXPECT_EQ(DataType::unsupported("a\"b").display_name(), "Unsupported(\"a\\\"b\")");
}

TEST(VocabularyDataType, WithdrawnSpellingsFailWithRemovedField) {
  for (const auto& [spelling, replacement] :
       std::vector<std::pair<std::string_view, std::string_view>>{
           {"pair", "two or three separate double channels"},
           {"triple", "two or three separate double channels"},
           {"gpsdata", "gpslocation"},
           {"candata", "binary with an application-specific MIME type"}}) {
    const Captured captured;
    auto type = qel::parse_data_type(spelling);
    ASSERT_FALSE(type) << spelling;
    EXPECT_EQ(type.error().kind(), qel::ErrorKind::RemovedField);
    EXPECT_EQ(type.error().message(), qel::test::removed_datatype(spelling, replacement));
    EXPECT_TRUE(captured.sink.records.empty());
  }
}

TEST(VocabularyDataType, DisplayNamesSizesAndWireSpellings) {
  EXPECT_EQ(DataType(DataTypeId::UInt64).display_name(), "UInt64");
  EXPECT_EQ(DataType(DataTypeId::ByteArray).display_name(), "ByteArray");
  EXPECT_EQ(DataType(DataTypeId::GpsLocation).fixed_size(), 24U);
  EXPECT_EQ(DataType(DataTypeId::Float).fixed_size(), 4U);
  EXPECT_FALSE(DataType(DataTypeId::String).fixed_size());
  EXPECT_FALSE(DataType(DataTypeId::ByteArray).wire_spelling());
  EXPECT_FALSE(DataType::unsupported("x").wire_spelling());
}

TEST(VocabularyChannelAndSpectrumType, KnownSpellingsAndTheFallbacks) {
  const Captured captured;
  EXPECT_EQ(qel::parse_channel_type("scalar"), ChannelType(ChannelTypeId::Scalar));
  EXPECT_EQ(qel::parse_channel_type("vector"), ChannelType(ChannelTypeId::Vector));
  EXPECT_EQ(qel::parse_channel_type("matrix"), ChannelType(ChannelTypeId::Matrix));
  EXPECT_EQ(qel::parse_channel_type("binary"), ChannelType(ChannelTypeId::Binary));
  EXPECT_EQ(qel::spectrum_type_from_wire("amplitude"), SpectrumType::Amplitude);
  EXPECT_EQ(qel::spectrum_type_from_wire("realimag"), SpectrumType::RealImag);
  EXPECT_EQ(qel::spectrum_type_from_wire("ampphaserad"), SpectrumType::AmpPhaseRad);
  EXPECT_EQ(qel::spectrum_type_from_wire("ampphasedeg"), SpectrumType::AmpPhaseDeg);
  EXPECT_EQ(qel::wire_spelling(SpectrumType::AmpPhaseRad), "ampphaserad");
  EXPECT_TRUE(captured.sink.records.empty());

  const ChannelType other = qel::parse_channel_type("Scalar");
  EXPECT_EQ(other, ChannelType::other("Scalar"));
  EXPECT_EQ(other.wire_spelling(), "Scalar");
  EXPECT_EQ(qel::parse_channel_type(""), ChannelType::other(""));
  EXPECT_EQ(qel::spectrum_type_from_wire("RealImag"), SpectrumType::Amplitude);
  EXPECT_EQ(log_lines(captured),
            (Lines{"W meta: channeltype \"Scalar\" is not a known QEL channel type; kept verbatim",
                   "W meta: channeltype \"\" is not a known QEL channel type; kept verbatim",
                   "W meta: unknown spectrum type \"RealImag\"; defaulting to amplitude"}));
}

TEST(VocabularySizeOfLengthValue, OnlyTwoAndFour) {
  EXPECT_EQ(qel::validate_size_of_length_value(2), 2);
  EXPECT_EQ(qel::validate_size_of_length_value(4), 4);
  // 258 and 260 would pass if the value were narrowed to a byte first.
  for (const std::uint32_t value : {0U, 3U, 258U, 260U, 4294967295U}) {
    auto result = qel::validate_size_of_length_value(value);
    ASSERT_FALSE(result) << value;
    EXPECT_EQ(result.error().kind(), qel::ErrorKind::InvalidMetablock);
    EXPECT_EQ(result.error().message(),
              qel::test::invalid("sizeoflengthvalue must be 2 or 4, got " + std::to_string(value)));
  }
}

}  // namespace
