// The version-5 JSON metablock reader.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qel/log.hpp"
#include "qel/meta.hpp"
#include "qel/meta_json.hpp"
#include "test_support.hpp"

namespace {

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::log::Level;
using qel::test::bytes_of;
using qel::test::Captured;
using qel::test::invalid;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_json(bytes_of(text));
}

// A document whose envelope holds one channel object with the given members
// after the required ones (the required ones can be overridden by a later
// duplicate key, which replaces them).
std::string one_channel(std::string_view members) {
  std::string channel =
      R"({"index":1,"name":"x","channeltype":"scalar","datatype":"double","sizeoflengthvalue":2)";
  if (!members.empty()) channel += "," + std::string(members);
  channel += "}";
  return R"({"qel":{"channels":[)" + channel + "]}}";
}

// A document with one channel object written out in full.
std::string channel_doc(std::string_view object) {
  return R"({"qel":{"channels":[)" + std::string(object) + "]}}";
}

std::string error_of(std::string_view text) {
  auto result = parse(text);
  if (result) return "<no error>";
  return result.error().message();
}

constexpr std::string_view kJson = qel::log::kMetaJson;
constexpr std::string_view kMeta = qel::log::kMeta;

// ---------------------------------------------------------------------------
// Syntax and the JSON library.

TEST(MetaJsonSyntax, ErrorsCarryTheLibraryMessageWithLineAndColumn) {
  auto result = parse("{\"qel\":\n {\"a\": tru}}");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson);
  const std::string& message = result.error().message();
  EXPECT_EQ(message.rfind("QEL5 metablock JSON parse error: [json.exception.parse_error.101] "
                          "parse error at line 2, column ",
                          0),
            0U)
      << message;
}

TEST(MetaJsonSyntax, EmptyTruncatedTrailingAndCommentsFail) {
  for (const std::string_view text : {"", "   ", "{\"qel\":{}", "{\"qel\":{}} x", "{\"qel\":{}}{}",
                                      "// c\n{\"qel\":{}}", "{\"qel\":{},}", "{'qel':{}}"}) {
    auto result = parse(text);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson) << text;
    EXPECT_NE(result.error().message().find("line "), std::string::npos) << text;
  }
}

TEST(MetaJsonSyntax, InvalidUtf8InAStringFailsWithAValidUtf8Message) {
  const std::string text = "{\"qel\":{\"file\":{\"creator\":\"a\xFF\"}}}";
  auto result = parse(text);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson);
  EXPECT_NE(result.error().message().find("ill-formed UTF-8"), std::string::npos);
  // The library quotes the bytes it read last; the message is made valid UTF-8.
  EXPECT_EQ(result.error().message().find('\xFF'), std::string::npos);
  EXPECT_NE(result.error().message().find("\xEF\xBF\xBD"), std::string::npos);
}

TEST(MetaJsonSyntax, NumberOverflowIsTheLibrarysError) {
  auto result = parse(R"({"qel":{"file":{"created_at_altitude":1e400}}})");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson);
  EXPECT_NE(result.error().message().find("number overflow"), std::string::npos);
}

TEST(MetaJsonSyntax, DuplicateKeyLaterValueReplacesEarlier) {
  // In the envelope, in "file", in a channel, and at the root.
  auto result = parse(R"({"qel":5,"qel":{"file":{"creator":"a","creator":"b"},
      "channels":[{"index":1,"name":"x","channeltype":"scalar","datatype":"double",
                   "sizeoflengthvalue":2,"index":7,"name":"y"}],
      "infos":"no","infos":[]}})");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, "b");
  ASSERT_EQ(result->channels.size(), 1U);
  EXPECT_EQ(result->channels[0].index, 7);
  EXPECT_EQ(result->channels[0].name, "y");

  // A later invalid value replaces an earlier valid one.
  EXPECT_EQ(error_of(R"({"qel":{"file":{},"file":null}})"),
            invalid("QEL5 \"file\" must be an object"));
}

TEST(MetaJsonSyntax, DeeplyNestedValueIsRenderedWithoutRecursion) {
  constexpr std::size_t kDepth = 200000;
  std::string nested(kDepth, '[');
  nested.append(kDepth, ']');
  auto result = parse(R"({"qel":{"file":{"creator":)" + nested + "}}}");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, nested);
}

// ---------------------------------------------------------------------------
// Root and envelope.

TEST(MetaJsonEnvelope, EmptyEnvelopeGivesAnEmptyModel) {
  const Captured captured;
  auto result = parse(R"({"qel": {}})");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->format_version, 5U);
  EXPECT_FALSE(result->file.created_utc || result->file.creator || result->file.reason ||
               result->file.tag || result->file.comment || result->file.namespacesep ||
               result->file.created_at_latitude || result->file.created_at_longitude ||
               result->file.created_at_altitude);
  EXPECT_TRUE(result->channels.empty());
  EXPECT_TRUE(result->infos.empty());
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonEnvelope, LogUnknownTopLevelFieldsOnItsOwn) {
  const Captured captured;
  qel::meta_json::log_unknown_top_level_fields(qel::meta_json::Json::parse(
      R"({"file":1,"infos":1,"channels":1,"version":1,"format":1,"x\"y":1})"));
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            std::vector<std::string>{
                "QEL5 metablock top-level field \"x\\\"y\" is not known to this build; ignored"});
}

// ---------------------------------------------------------------------------
// "file": text rule, positions, alternatives, unknown keys.

TEST(MetaJsonFile, TextMembersFollowTheTextRule) {
  auto result = parse(R"({"qel":{"file":{
      "created_utc":"2024-01-01T00:00:00Z","creator":12,"reason":null,"tag":true,
      "comment":[1,2],"namespacesep":{"b":1,"a":[]}}}})");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.created_utc, "2024-01-01T00:00:00Z");
  EXPECT_EQ(result->file.creator, "12");
  EXPECT_FALSE(result->file.reason);
  EXPECT_EQ(result->file.tag, "true");
  EXPECT_EQ(result->file.comment, "[1,2]");
  EXPECT_EQ(result->file.namespacesep, R"({"a":[],"b":1})");
}

TEST(MetaJsonFile, ValueToStringRendersCompactJson) {
  using qel::meta_json::Json;
  using qel::meta_json::value_to_string;
  EXPECT_FALSE(value_to_string(Json::parse("null")));
  // Floats as nlohmann writes them (shortest round trip, ".0" kept, exponent with sign).
  for (const auto& [text, rendered] : std::vector<std::pair<std::string, std::string>>{
           {"\"a\\\"b\"", "a\"b"},
           {"42", "42"},
           {"-7", "-7"},
           {"false", "false"},
           {"[1, 2]", "[1,2]"},
           {"[]", "[]"},
           {"{}", "{}"},
           {R"( {"k" : ["a\n", null, {"\u00e9":1.5}]} )",
            "{\"k\":[\"a\\n\",null,{\"\xC3\xA9\":1.5}]}"},
           {"1.5", "1.5"},
           {"3.0", "3.0"},
           {"3e0", "3.0"},
           {"0.1", "0.1"},
           {"1e300", "1e+300"},
           {"-0.0", "-0.0"},
           {"18446744073709551615", "18446744073709551615"},
           {"18446744073709551616", "1.8446744073709552e+19"}}) {
    EXPECT_EQ(value_to_string(Json::parse(text)), rendered) << text;
  }
  // The iterative renderer agrees with dump() on a mixed tree.
  const auto tree = Json::parse(R"({"a":[1,[2,[3,{}]],{"x":{"y":[true,null,"s"]}}],"b":-0.5})");
  EXPECT_EQ(qel::meta_json::compact_text(tree), tree.dump());
}

TEST(MetaJsonFile, PositionsTakeAnyNumber) {
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":48,
      "created_at_longitude":-11.5,"created_at_altitude":18446744073709551615}}})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->file.created_at_latitude, 48.0);
  EXPECT_EQ(result->file.created_at_longitude, -11.5);
  EXPECT_EQ(result->file.created_at_altitude, 18446744073709551615.0);
}

TEST(MetaJsonFile, PositionsOfOtherTypesAreAbsentWithoutRecord) {
  const Captured captured;
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":"48.1",
      "created_at_longitude":null,"created_at_altitude":[1]}}})");
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->file.created_at_latitude);
  EXPECT_FALSE(result->file.created_at_longitude);
  EXPECT_FALSE(result->file.created_at_altitude);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonFile, AlternativeKeyUsedWhenSpecKeyAbsentOrNotANumber) {
  const Captured captured;
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":"48.1","latitude":48.1,
      "longitude":11,"altitude":"high"}}})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->file.created_at_latitude, 48.1);
  EXPECT_EQ(result->file.created_at_longitude, 11.0);
  EXPECT_FALSE(result->file.created_at_altitude);
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            (std::vector<std::string>{
                "QEL5 file.latitude accepted as alternative for created_at_latitude; writers "
                "should emit the spec form",
                "QEL5 file.longitude accepted as alternative for created_at_longitude; writers "
                "should emit the spec form"}));
}

TEST(MetaJsonFile, AlternativeNeitherReadNorLoggedWhenSpecKeyIsANumber) {
  const Captured captured;
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":1,"latitude":2,
      "created_at_longitude":3,"longitude":"x","created_at_altitude":5.5,"altitude":6}}})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->file.created_at_latitude, 1.0);
  EXPECT_EQ(result->file.created_at_longitude, 3.0);
  EXPECT_EQ(result->file.created_at_altitude, 5.5);
  EXPECT_TRUE(captured.sink.records.empty());
}

// ---------------------------------------------------------------------------
// Channels: required fields and the order of checks.

TEST(MetaJsonChannel, FullChannelAndOptionalMembers) {
  auto result = parse(R"({"qel":{"channels":[{"index":9,"name":"speed","channeltype":"vector",
      "datatype":"bytearray","sizeoflengthvalue":4,"timeincrement":-9223372036854775808,
      "mimetype":"image/png","physicalunit":"m/s","physicaldimension":null,"displayname":5,
      "comment":[true],"reference":"r","spectrumtype":"realimag"}]}})");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->channels.size(), 1U);
  const auto& c = result->channels[0];
  EXPECT_EQ(c.index, 9);
  EXPECT_EQ(c.name, "speed");
  EXPECT_EQ(c.channeltype, qel::ChannelType(qel::ChannelTypeId::Vector));
  EXPECT_EQ(c.datatype, qel::DataType(qel::DataTypeId::Binary));
  EXPECT_EQ(c.sizeoflengthvalue, 4);
  EXPECT_EQ(c.timeincrement, INT64_MIN);
  EXPECT_EQ(c.mimetype, "image/png");
  EXPECT_EQ(c.physicalunit, "m/s");
  EXPECT_FALSE(c.physicaldimension);
  EXPECT_EQ(c.displayname, "5");
  EXPECT_EQ(c.comment, "[true]");
  EXPECT_EQ(c.reference, "r");
  EXPECT_EQ(c.spectrumtype, qel::SpectrumType::RealImag);
}

TEST(MetaJsonChannel, TimeIncrementIntegerClassification) {
  const Captured captured;
  for (const std::string_view value : {"1.5", "3.0", "3e0", "\"5\"", "null", "9223372036854775808",
                                       "18446744073709551615", "-9223372036854775809"}) {
    auto result = parse(one_channel("\"timeincrement\":" + std::string(value)));
    ASSERT_TRUE(result) << value;
    EXPECT_FALSE(result->channels[0].timeincrement) << value;
  }
  auto max = parse(one_channel(R"("timeincrement":9223372036854775807)"));
  ASSERT_TRUE(max);
  EXPECT_EQ(max->channels[0].timeincrement, INT64_MAX);
  auto zero = parse(one_channel(R"("timeincrement":0)"));
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->channels[0].timeincrement, 0);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonChannel, SpectrumType) {
  const Captured captured;
  auto absent = parse(one_channel(R"("spectrumtype":3)"));
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->channels[0].spectrumtype);
  EXPECT_TRUE(captured.sink.records.empty());
  auto unknown = parse(one_channel(R"("spectrumtype":"RealImag")"));
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->channels[0].spectrumtype, qel::SpectrumType::Amplitude);
  EXPECT_EQ(
      captured.messages(Level::Warn, kMeta),
      std::vector<std::string>{"unknown spectrum type \"RealImag\"; defaulting to amplitude"});
}

TEST(MetaJsonChannel, UnknownKeysAreDebugRecordsInByteOrder) {
  const Captured captured;
  ASSERT_TRUE(parse(one_channel(R"("zeta":1,"Index":2,"alpha":null,"scale":1)")));
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            (std::vector<std::string>{
                "channel \"x\": field \"Index\" is not known to this build; ignored",
                "channel \"x\": field \"alpha\" is not known to this build; ignored",
                "channel \"x\": field \"zeta\" is not known to this build; ignored"}));
  EXPECT_EQ(captured.messages(Level::Warn, kJson).size(), 1U);
  // The warnings of the withdrawn keys come before the debug records.
  ASSERT_EQ(captured.sink.records.size(), 4U);
  EXPECT_EQ(captured.sink.records[0].level, Level::Warn);
}

TEST(MetaJsonChannel, DuplicateIndexesAndNamesAreBothReturned) {
  auto result = parse(R"({"qel":{"channels":[
      {"index":1,"name":"a","channeltype":"scalar","datatype":"int8","sizeoflengthvalue":2},
      {"index":1,"name":"a","channeltype":"scalar","datatype":"string","sizeoflengthvalue":4}]}})");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->channels.size(), 2U);
  EXPECT_EQ(result->channels[0].datatype, qel::DataType(qel::DataTypeId::Int8));
  EXPECT_EQ(result->channels[1].datatype, qel::DataType(qel::DataTypeId::String));
}

TEST(MetaJsonChannel, UnsupportedDataTypeAndOtherChannelTypeAreKept) {
  const Captured captured;
  auto result = parse(one_channel(R"("datatype":"INT8","channeltype":"cube")"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->channels[0].datatype, qel::DataType::unsupported("INT8"));
  EXPECT_EQ(result->channels[0].channeltype, qel::ChannelType::other("cube"));
  EXPECT_EQ(captured.messages(Level::Warn, kMeta).size(), 2U);
}

// ---------------------------------------------------------------------------
// Infos.

TEST(MetaJsonInfos, DefaultsAndValueRendering) {
  const Captured captured;
  auto result = parse(R"({"qel":{"infos":[
      {"name":"a"},
      {"name":"b","value":null,"datatype":5},
      {"name":"c","value":"text","datatype":"int32","physicalunit":"V"},
      {"name":"d","value":[1,{"k":2}],"physicalunit":null,"other":1},
      {"name":"e","value":2.50}]}})");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->infos.size(), 5U);
  EXPECT_EQ(result->infos[0].name, "a");
  EXPECT_EQ(result->infos[0].value, "");
  EXPECT_EQ(result->infos[0].datatype, qel::DataType(qel::DataTypeId::String));
  EXPECT_FALSE(result->infos[0].physicalunit);
  EXPECT_EQ(result->infos[1].value, "null");
  EXPECT_EQ(result->infos[1].datatype, qel::DataType(qel::DataTypeId::String));
  EXPECT_EQ(result->infos[2].value, "text");
  EXPECT_EQ(result->infos[2].datatype, qel::DataType(qel::DataTypeId::Int32));
  EXPECT_EQ(result->infos[2].physicalunit, "V");
  EXPECT_EQ(result->infos[3].value, R"([1,{"k":2}])");
  EXPECT_FALSE(result->infos[3].physicalunit);
  EXPECT_EQ(result->infos[4].value, "2.5");
  // Other keys of an info are ignored without a record.
  EXPECT_TRUE(captured.sink.records.empty());
}

// ---------------------------------------------------------------------------
// Refused documents: one row per message and per order of checks.

struct ErrorCase {
  std::string doc;
  std::string message;
  ErrorKind kind = ErrorKind::InvalidMetablock;
};

const std::string kNoIndex = invalid("channel at position 0 is missing required field \"index\"");
const std::string kNoWidth =
    invalid("channel \"x\" is missing required field \"sizeoflengthvalue\"");

std::vector<ErrorCase> error_cases() {
  std::vector<ErrorCase> cases;
  for (const std::string_view root : {"[]", "5", "null", "\"qel\"", "true"}) {
    cases.push_back({std::string(root), invalid("QEL5 root must be a JSON object")});
  }
  for (const std::string_view doc :
       {R"({"qel": 5})", R"({})", R"({"QEL":{}})", R"({"qel":null})", R"({"qel":[]})"}) {
    cases.push_back({std::string(doc), invalid("QEL5 root is missing the \"qel\" envelope")});
  }
  for (const auto& [element, kind] :
       std::vector<std::pair<std::string_view, std::string_view>>{{"null", "null"},
                                                                  {"true", "bool"},
                                                                  {"1", "number"},
                                                                  {"1.5", "number"},
                                                                  {"\"c\"", "string"},
                                                                  {"[]", "array"}}) {
    cases.push_back({channel_doc(element),
                     invalid("QEL5 channels[0] must be an object, got " + std::string(kind))});
  }
  // Not an integer in range of int64: the index counts as missing.
  for (const std::string_view index :
       {"1.0", "3e0", "1E0", "\"1\"", "null", "true", "[1]", "9223372036854775808",
        "18446744073709551615", "-9223372036854775809", "0.5"}) {
    cases.push_back({one_channel("\"index\":" + std::string(index)), kNoIndex});
  }
  for (const std::string_view index : {"-1", "65536", "-9223372036854775808"}) {
    cases.push_back({one_channel("\"index\":" + std::string(index)),
                     invalid("channel at position 0 has index=" + std::string(index) +
                             " out of range 0..=65535")});
  }
  for (const std::string_view value :
       {"-2", "2.0", "2e0", "\"2\"", "null", "-9223372036854775808", "18446744073709551616"}) {
    cases.push_back({one_channel("\"sizeoflengthvalue\":" + std::string(value)), kNoWidth});
  }
  for (const std::string_view value : {"3", "-0", "4294967295"}) {
    cases.push_back({one_channel("\"sizeoflengthvalue\":" + std::string(value)),
                     "invalid QEL metablock: sizeoflengthvalue must be 2 or 4, got " +
                         std::string(value == "-0" ? "0" : value)});
  }
  for (const std::string_view value : {"4294967296", "18446744073709551615"}) {
    cases.push_back(
        {one_channel("\"sizeoflengthvalue\":" + std::string(value)),
         invalid("channel \"x\" sizeoflengthvalue=" + std::string(value) + " out of range")});
  }
  const std::vector<ErrorCase> rows{
      {R"({"qel":{"file":null}})", invalid("QEL5 \"file\" must be an object")},
      {R"({"qel":{"file":[]}})", invalid("QEL5 \"file\" must be an object")},
      {R"({"qel":{"channels":null}})", invalid("QEL5 \"channels\" must be an array")},
      {R"({"qel":{"channels":{}}})", invalid("QEL5 \"channels\" must be an array")},
      {R"({"qel":{"infos":null}})", invalid("QEL5 \"infos\" must be an array")},
      {R"({"qel":{"infos":"x"}})", invalid("QEL5 \"infos\" must be an array")},
      // A later invalid duplicate replaces an earlier valid value.
      {R"({"qel":{"file":{},"file":null}})", invalid("QEL5 \"file\" must be an object")},
      // The position counts array elements.
      {R"({"qel":{"channels":[{"index":1,"name":"x","channeltype":"scalar",
      "datatype":"double","sizeoflengthvalue":2},7]}})",
       invalid("QEL5 channels[1] must be an object, got number")},
      // Order of checks: index, name, channeltype, datatype, sizeoflengthvalue.
      {channel_doc("{}"), kNoIndex},
      {channel_doc(R"({"name":"x"})"), kNoIndex},
      {channel_doc(R"({"index":3,"sizeoflengthvalue":9})"),
       invalid("channel at index 3 is missing required field \"name\"")},
      {one_channel(R"("name":5)"),
       invalid("channel at index 1 is missing required field \"name\"")},
      {channel_doc(R"({"index":3,"name":"n","datatype":"pair"})"),
       invalid("channel \"n\" is missing required field \"channeltype\"")},
      {one_channel(R"("channeltype":null)"),
       invalid("channel \"x\" is missing required field \"channeltype\"")},
      {channel_doc(R"({"index":1,"name":"a\"b"})"),
       invalid("channel \"a\\\"b\" is missing required field \"channeltype\"")},
      {channel_doc(R"({"index":3,"name":"n","channeltype":"s","sizeoflengthvalue":9})"),
       invalid("channel \"n\" is missing required field \"datatype\"")},
      {one_channel(R"("datatype":["double"])"),
       invalid("channel \"x\" is missing required field \"datatype\"")},
      {channel_doc(R"({"index":3,"name":"n","channeltype":"scalar","datatype":"int8"})"),
       invalid("channel \"n\" is missing required field \"sizeoflengthvalue\"")},
      {one_channel(R"("datatype":"gpsdata")"),
       "field \"datatype\" uses \"gpsdata\", removed in spec revision 2026-05-04 \xE2\x80\x94 "
       "replacement: \"gpslocation\"",
       ErrorKind::RemovedField},
      // The first failing channel in array order decides; infos come after channels.
      {R"({"qel":{"infos":[{}],"channels":[{"index":1,"name":"a","channeltype":"scalar",
      "datatype":"int8","sizeoflengthvalue":2},{"index":-5}]}})",
       invalid("channel at position 1 has index=-5 out of range 0..=65535")},
      // "file" comes before the channels.
      {R"({"qel":{"channels":[{}],"file":7}})", invalid("QEL5 \"file\" must be an object")},
      {R"({"qel":{"infos":[{"name":"a"},5]}})", invalid("QEL5 infos[1] must be an object")},
      {R"({"qel":{"infos":[null]}})", invalid("QEL5 infos[0] must be an object")},
      {R"({"qel":{"infos":[{"value":"v"}]}})", invalid("QEL5 infos[0] is missing \"name\"")},
      {R"({"qel":{"infos":[{"name":1}]}})", invalid("QEL5 infos[0] is missing \"name\"")},
  };
  cases.insert(cases.end(), rows.begin(), rows.end());
  return cases;
}

TEST(MetaJsonErrors, EveryRefusalHasItsMessage) {
  for (const auto& row : error_cases()) {
    SCOPED_TRACE(row.doc);
    auto result = parse(row.doc);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), row.kind);
    EXPECT_EQ(result.error().message(), row.message);
  }
  auto removed = parse(R"({"qel":{"infos":[{"name":"a","datatype":"pair"}]}})");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::RemovedField);
}

TEST(MetaJsonErrors, ChannelTypeIsReadBeforeDataTypeFails) {
  const Captured captured;
  auto result =
      parse(channel_doc(R"({"index":3,"name":"n","channeltype":"s","datatype":"gpsdata"})"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::RemovedField);
  EXPECT_EQ(
      captured.messages(Level::Warn, kMeta),
      std::vector<std::string>{"channeltype \"s\" is not a known QEL channel type; kept verbatim"});
}

TEST(MetaJsonErrors, IndexEdgesAreAccepted) {
  for (const auto& [text, index] : std::vector<std::pair<std::string, int>>{
           {R"("index":65535)", 65535}, {R"("index":-0)", 0}}) {
    auto result = parse(one_channel(text));
    ASSERT_TRUE(result) << text;
    EXPECT_EQ(result->channels[0].index, index);
  }
  auto four = parse(one_channel(R"("sizeoflengthvalue":4)"));
  ASSERT_TRUE(four);
  EXPECT_EQ(four->channels[0].sizeoflengthvalue, 4);
}

// ---------------------------------------------------------------------------
// Log records of accepted documents.

std::vector<std::string> withdrawn_warnings() {
  std::vector<std::string> out;
  for (const std::string_view key :
       {"scale", "offset", "physicalunit1", "physicalunit2", "physicalunit3", "physicaldimension1",
        "physicaldimension2", "physicaldimension3"}) {
    out.push_back("channel \"x\" carries deprecated field \"" + std::string(key) +
                  "\" (removed in spec revision 2026-05-04); ignored");
  }
  return out;
}

std::string unknown_top(std::string_view key) {
  return "QEL5 metablock top-level field \"" + std::string(key) +
         "\" is not known to this build; ignored";
}

TEST(MetaJsonLog, RecordsOfAcceptedDocuments) {
  const std::vector<qel::test::LogCase> cases{
      // Other root keys, format "qel5" or not a string, and "version" give nothing.
      {R"({"other":1,"qel":{},"zzz":[1]})", Level::Debug, kJson, {}, 0},
      {R"({"qel":{"format":"qel5","version":"anything"}})", Level::Debug, kJson, {}, 0},
      {R"({"qel":{"format":5,"version":{"a":1}}})", Level::Debug, kJson, {}, 0},
      {R"({"qel":{"format":null}})", Level::Debug, kJson, {}, 0},
      {R"({"qel":{"format":"qel4","file":{"creator":"c"}}})",
       Level::Warn,
       kJson,
       {"QEL5 metablock declares format=\"qel4\"; expected \"qel5\". parsing as QEL5 anyway "
        "because the magic header was QEL5."},
       1},
      {R"({"qel":{"extra":1,"infos":[]}})", Level::Debug, kJson, {unknown_top("extra")}, 1},
      // Keys in ascending byte order: "Z" < "_" < "a" < "z" < "é" (a signed-char
      // comparison would put "é" first); "file" is visited first.
      {"{\"qel\":{\"\xC3\xA9\":1,\"z\":1,\"a\":1,\"Z\":1,\"_\":1,"
       "\"file\":{\"\xC3\xA9\":1,\"zz\":1,\"AA\":1}}}",
       Level::Debug,
       kJson,
       {"QEL5 file.\"AA\" is not known to this build; ignored",
        "QEL5 file.\"zz\" is not known to this build; ignored",
        "QEL5 file.\"\xC3\xA9\" is not known to this build; ignored", unknown_top("Z"),
        unknown_top("_"), unknown_top("a"), unknown_top("z"), unknown_top("\xC3\xA9")},
       8},
      {R"({"qel":{"file":{"creator":"c","Creator":"d","b\"x":null}}})",
       Level::Debug,
       kJson,
       {"QEL5 file.\"Creator\" is not known to this build; ignored",
        "QEL5 file.\"b\\\"x\" is not known to this build; ignored"},
       2},
      // Withdrawn keys warn in a fixed order whatever their value.
      {one_channel(
           R"("physicaldimension3":1,"offset":"o","scale":null,"physicalunit2":[],)"
           R"("physicalunit1":{},"physicaldimension1":true,"physicalunit3":0,"physicaldimension2":2.5)"),
       Level::Warn, kJson, withdrawn_warnings(), 8},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.doc);
    const Captured captured;
    ASSERT_TRUE(parse(row.doc));
    EXPECT_EQ(captured.messages(row.level, row.target), row.messages);
    EXPECT_EQ(captured.sink.records.size(), row.total);
  }
}

TEST(MetaJsonLog, UnknownEnvelopeKeysAreLoggedOnlyOnSuccess) {
  const Captured captured;
  ASSERT_FALSE(parse(R"({"qel":{"extra":1,"infos":[{}]}})"));
  EXPECT_TRUE(captured.sink.records.empty());
}

// ---------------------------------------------------------------------------
// parse_metablock dispatches by version.

TEST(MetaJsonDispatch, ParseMetablockPicksTheReaderByVersion) {
  const std::string_view json = R"({"qel":{"file":{"creator":"j"}}})";
  auto v5 = qel::parse_metablock(5, bytes_of(json));
  ASSERT_TRUE(v5);
  EXPECT_EQ(v5->format_version, 5U);
  EXPECT_EQ(v5->file.creator, "j");
  // The same bytes are not XML.
  auto v4 = qel::parse_metablock(4, bytes_of(json));
  ASSERT_FALSE(v4);
  EXPECT_EQ(v4.error().kind(), ErrorKind::MetablockXml);
  auto xml = qel::parse_metablock(4, bytes_of(R"(<velmaris creator="x"></velmaris>)"));
  ASSERT_TRUE(xml);
  EXPECT_EQ(xml->format_version, 4U);
  EXPECT_EQ(xml->file.creator, "x");
  auto other = qel::parse_metablock(6, bytes_of(json));
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind(), ErrorKind::UnsupportedVersion);
}

}  // namespace
