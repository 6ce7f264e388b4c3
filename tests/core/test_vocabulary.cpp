// The four vocabulary parsers and their log records.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/error.hpp"
#include "qel/log.hpp"
#include "qel/types.hpp"

namespace {

using qel::ChannelType;
using qel::ChannelTypeId;
using qel::DataType;
using qel::DataTypeId;
using qel::ErrorKind;
using qel::SpectrumType;
using qel::log::Level;

constexpr std::string_view kMeta = qel::log::kMeta;

TEST(VocabularyDataType, EveryWireSpelling) {
  const std::vector<std::pair<std::string_view, DataTypeId>> cases{
      {"bool", DataTypeId::Bool},     {"int8", DataTypeId::Int8},
      {"int16", DataTypeId::Int16},   {"int32", DataTypeId::Int32},
      {"int64", DataTypeId::Int64},   {"uint8", DataTypeId::UInt8},
      {"uint16", DataTypeId::UInt16}, {"uint32", DataTypeId::UInt32},
      {"uint64", DataTypeId::UInt64}, {"float", DataTypeId::Float},
      {"double", DataTypeId::Double}, {"string", DataTypeId::String},
      {"binary", DataTypeId::Binary}, {"gpslocation", DataTypeId::GpsLocation}};
  qel::log::CapturingSink sink;
  qel::log::ScopedSink scope(sink);
  for (const auto& [spelling, id] : cases) {
    auto type = qel::parse_data_type(spelling);
    ASSERT_TRUE(type) << spelling;
    EXPECT_EQ(type->id(), id) << spelling;
    EXPECT_EQ(type->wire_spelling(), spelling);
  }
  EXPECT_TRUE(sink.records.empty());
}

TEST(VocabularyDataType, BytearrayIsBinaryWithADebugRecord) {
  qel::log::CapturingSink sink;
  qel::log::ScopedSink scope(sink);
  auto type = qel::parse_data_type("bytearray");
  ASSERT_TRUE(type);
  EXPECT_EQ(*type, DataType(DataTypeId::Binary));
  EXPECT_NE(*type, DataType(DataTypeId::ByteArray));
  ASSERT_EQ(sink.records.size(), 1U);
  EXPECT_EQ(sink.records[0].level, Level::Debug);
  EXPECT_EQ(sink.records[0].target, kMeta);
  EXPECT_EQ(sink.records[0].message,
            "datatype \"bytearray\": read-side alias used, normalising to \"binary\"");
}

TEST(VocabularyDataType, OtherSpellingsAreUnsupportedWithOneWarning) {
  for (const std::string_view text : {"Int8", "INT8", " int8", "int8 ", "", "bytes", "ByteArray"}) {
    qel::log::CapturingSink sink;
    qel::log::ScopedSink scope(sink);
    auto type = qel::parse_data_type(text);
    ASSERT_TRUE(type) << text;
    EXPECT_EQ(type->id(), DataTypeId::Unsupported);
    EXPECT_EQ(type->unsupported_spelling(), text);
    EXPECT_EQ(*type, DataType::unsupported(std::string(text)));
    ASSERT_EQ(sink.records.size(), 1U) << text;
    EXPECT_EQ(sink.records[0].level, Level::Warn);
    EXPECT_EQ(sink.records[0].target, kMeta);
    EXPECT_EQ(
        sink.records[0].message,
        "datatype " + qel::quoted(text) +
            " is not known to this build; channel kept as Unsupported, block reads will fail");
  }
  EXPECT_EQ(DataType::unsupported("a\"b").display_name(), "Unsupported(\"a\\\"b\")");
}

TEST(VocabularyDataType, WithdrawnSpellingsFailWithRemovedField) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases{
      {"pair", "two or three separate double channels"},
      {"triple", "two or three separate double channels"},
      {"gpsdata", "gpslocation"},
      {"candata", "binary with an application-specific MIME type"}};
  for (const auto& [spelling, replacement] : cases) {
    qel::log::CapturingSink sink;
    qel::log::ScopedSink scope(sink);
    auto type = qel::parse_data_type(spelling);
    ASSERT_FALSE(type) << spelling;
    EXPECT_EQ(type.error().kind(), ErrorKind::RemovedField);
    EXPECT_EQ(type.error().message(),
              "field \"datatype\" uses \"" + std::string(spelling) +
                  "\", removed in spec revision 2026-05-04 \xE2\x80\x94 replacement: \"" +
                  std::string(replacement) + "\"");
    EXPECT_TRUE(sink.records.empty());
  }
  // Differently cased withdrawn spellings are merely unsupported.
  auto upper = qel::parse_data_type("PAIR");
  ASSERT_TRUE(upper);
  EXPECT_EQ(upper->id(), DataTypeId::Unsupported);
}

TEST(VocabularyDataType, RemovedFieldRenderings) {
  EXPECT_EQ(qel::Error::removed_field("datatype", "pair", std::nullopt).message(),
            "field \"datatype\" uses \"pair\", removed in spec revision 2026-05-04");
  EXPECT_EQ(qel::Error::removed_field("data\"type", "a\\b\n", "x\ty").message(),
            "field \"data\\\"type\" uses \"a\\\\b\\n\", removed in spec revision 2026-05-04 "
            "\xE2\x80\x94 replacement: \"x\\ty\"");
}

TEST(VocabularyChannelType, KnownAndOther) {
  qel::log::CapturingSink sink;
  qel::log::ScopedSink scope(sink);
  EXPECT_EQ(qel::parse_channel_type("scalar"), ChannelType(ChannelTypeId::Scalar));
  EXPECT_EQ(qel::parse_channel_type("vector"), ChannelType(ChannelTypeId::Vector));
  EXPECT_EQ(qel::parse_channel_type("matrix"), ChannelType(ChannelTypeId::Matrix));
  EXPECT_EQ(qel::parse_channel_type("binary"), ChannelType(ChannelTypeId::Binary));
  EXPECT_TRUE(sink.records.empty());
  const ChannelType other = qel::parse_channel_type("Scalar");
  EXPECT_EQ(other.id(), ChannelTypeId::Other);
  EXPECT_EQ(other.wire_spelling(), "Scalar");
  const ChannelType empty = qel::parse_channel_type("");
  EXPECT_EQ(empty, ChannelType::other(""));
  ASSERT_EQ(sink.records.size(), 2U);
  EXPECT_EQ(sink.records[0].level, Level::Warn);
  EXPECT_EQ(sink.records[0].target, kMeta);
  EXPECT_EQ(sink.records[0].message,
            "channeltype \"Scalar\" is not a known QEL channel type; kept verbatim");
  EXPECT_EQ(sink.records[1].message,
            "channeltype \"\" is not a known QEL channel type; kept verbatim");
}

TEST(VocabularySpectrumType, KnownAndDefaulted) {
  qel::log::CapturingSink sink;
  qel::log::ScopedSink scope(sink);
  EXPECT_EQ(qel::spectrum_type_from_wire("amplitude"), SpectrumType::Amplitude);
  EXPECT_EQ(qel::spectrum_type_from_wire("realimag"), SpectrumType::RealImag);
  EXPECT_EQ(qel::spectrum_type_from_wire("ampphaserad"), SpectrumType::AmpPhaseRad);
  EXPECT_EQ(qel::spectrum_type_from_wire("ampphasedeg"), SpectrumType::AmpPhaseDeg);
  EXPECT_TRUE(sink.records.empty());
  EXPECT_EQ(qel::spectrum_type_from_wire("RealImag"), SpectrumType::Amplitude);
  ASSERT_EQ(sink.records.size(), 1U);
  EXPECT_EQ(sink.records[0].level, Level::Warn);
  EXPECT_EQ(sink.records[0].target, kMeta);
  EXPECT_EQ(sink.records[0].message, "unknown spectrum type \"RealImag\"; defaulting to amplitude");
  EXPECT_EQ(qel::wire_spelling(SpectrumType::AmpPhaseRad), "ampphaserad");
}

TEST(VocabularySizeOfLengthValue, OnlyTwoAndFour) {
  EXPECT_EQ(qel::validate_size_of_length_value(2), 2);
  EXPECT_EQ(qel::validate_size_of_length_value(4), 4);
  for (const std::uint32_t value : {0U, 1U, 3U, 8U, 258U, 260U, 4294967295U}) {
    auto result = qel::validate_size_of_length_value(value);
    ASSERT_FALSE(result) << value;
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidMetablock);
    EXPECT_EQ(
        result.error().message(),
        "invalid QEL metablock: sizeoflengthvalue must be 2 or 4, got " + std::to_string(value));
  }
}

TEST(VocabularyDataType, DisplayNamesAndSizes) {
  EXPECT_EQ(DataType(DataTypeId::UInt64).display_name(), "UInt64");
  EXPECT_EQ(DataType(DataTypeId::GpsLocation).display_name(), "GpsLocation");
  EXPECT_EQ(DataType(DataTypeId::ByteArray).display_name(), "ByteArray");
  EXPECT_EQ(DataType(DataTypeId::GpsLocation).fixed_size(), 24U);
  EXPECT_EQ(DataType(DataTypeId::Float).fixed_size(), 4U);
  EXPECT_FALSE(DataType(DataTypeId::String).fixed_size());
  EXPECT_FALSE(DataType(DataTypeId::ByteArray).wire_spelling());
  EXPECT_FALSE(DataType::unsupported("x").wire_spelling());
}

}  // namespace
