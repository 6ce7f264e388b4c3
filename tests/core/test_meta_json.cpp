// The version-5 JSON metablock reader.

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/log.hpp"
#include "qel/meta.hpp"
#include "qel/meta_json.hpp"

namespace {

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::log::Level;

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

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

std::string invalid(std::string_view message) {
  return "invalid QEL metablock: " + std::string(message);
}

struct Captured {
  qel::log::CapturingSink sink;
  std::vector<std::string> messages(Level level, std::string_view target) const {
    std::vector<std::string> out;
    for (const auto& r : sink.records) {
      if (r.level == level && r.target == target) out.push_back(r.message);
    }
    return out;
  }
};

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

TEST(MetaJsonSyntax, KeysAreVisitedInAscendingByteOrder) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  // Written out of order; "Z" (0x5A) < "_" (0x5F) < "a" < "z" (0x7A) < "é" (0xC3 0xA9):
  // a signed-char comparison would put "é" first.
  auto result = parse(
      "{\"qel\":{\"\xC3\xA9\":1,\"z\":1,\"a\":1,\"Z\":1,\"_\":1,"
      "\"file\":{\"\xC3\xA9\":1,\"zz\":1,\"AA\":1}}}");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            (std::vector<std::string>{
                "QEL5 file.\"AA\" is not known to this build; ignored",
                "QEL5 file.\"zz\" is not known to this build; ignored",
                "QEL5 file.\"\xC3\xA9\" is not known to this build; ignored",
                "QEL5 metablock top-level field \"Z\" is not known to this build; ignored",
                "QEL5 metablock top-level field \"_\" is not known to this build; ignored",
                "QEL5 metablock top-level field \"a\" is not known to this build; ignored",
                "QEL5 metablock top-level field \"z\" is not known to this build; ignored",
                "QEL5 metablock top-level field \"\xC3\xA9\" is not known to this build; ignored",
            }));
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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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

TEST(MetaJsonEnvelope, RootMustBeAnObject) {
  for (const std::string_view text : {"[]", "5", "null", "\"qel\"", "true"}) {
    auto result = parse(text);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidMetablock);
    EXPECT_EQ(result.error().message(), invalid("QEL5 root must be a JSON object")) << text;
  }
}

TEST(MetaJsonEnvelope, MissingOrNonObjectEnvelope) {
  for (const std::string_view text :
       {R"({"qel": 5})", R"({})", R"({"QEL":{}})", R"({"qel":null})", R"({"qel":[]})"}) {
    EXPECT_EQ(error_of(text), invalid("QEL5 root is missing the \"qel\" envelope")) << text;
  }
}

TEST(MetaJsonEnvelope, OtherRootKeysAreIgnoredWithoutRecord) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  ASSERT_TRUE(parse(R"({"other":1,"qel":{},"zzz":[1]})"));
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonEnvelope, FormatOtherThanQel5WarnsAndReadsOn) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  auto result = parse(R"({"qel":{"format":"qel4","file":{"creator":"c"}}})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->format_version, 5U);
  EXPECT_EQ(result->file.creator, "c");
  EXPECT_EQ(captured.messages(Level::Warn, kJson),
            std::vector<std::string>{
                "QEL5 metablock declares format=\"qel4\"; expected \"qel5\". parsing as QEL5 "
                "anyway because the magic header was QEL5."});
  EXPECT_EQ(captured.sink.records.size(), 1U);
}

TEST(MetaJsonEnvelope, FormatQel5OrNonStringAndVersionGiveNothing) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  ASSERT_TRUE(parse(R"({"qel":{"format":"qel5","version":"anything"}})"));
  ASSERT_TRUE(parse(R"({"qel":{"format":5,"version":{"a":1}}})"));
  ASSERT_TRUE(parse(R"({"qel":{"format":null}})"));
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonEnvelope, NonArraySectionsFail) {
  EXPECT_EQ(error_of(R"({"qel":{"file":null}})"), invalid("QEL5 \"file\" must be an object"));
  EXPECT_EQ(error_of(R"({"qel":{"file":[]}})"), invalid("QEL5 \"file\" must be an object"));
  EXPECT_EQ(error_of(R"({"qel":{"channels":null}})"),
            invalid("QEL5 \"channels\" must be an array"));
  EXPECT_EQ(error_of(R"({"qel":{"channels":{}}})"), invalid("QEL5 \"channels\" must be an array"));
  EXPECT_EQ(error_of(R"({"qel":{"infos":null}})"), invalid("QEL5 \"infos\" must be an array"));
  EXPECT_EQ(error_of(R"({"qel":{"infos":"x"}})"), invalid("QEL5 \"infos\" must be an array"));
}

TEST(MetaJsonEnvelope, UnknownEnvelopeKeysAreLoggedOnlyOnSuccess) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  ASSERT_FALSE(parse(R"({"qel":{"extra":1,"infos":[{}]}})"));
  EXPECT_TRUE(captured.sink.records.empty());
  ASSERT_TRUE(parse(R"({"qel":{"extra":1,"infos":[]}})"));
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            std::vector<std::string>{
                "QEL5 metablock top-level field \"extra\" is not known to this build; ignored"});
}

TEST(MetaJsonEnvelope, LogUnknownTopLevelFieldsOnItsOwn) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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
  EXPECT_EQ(value_to_string(Json::parse("\"a\\\"b\"")), "a\"b");
  EXPECT_EQ(value_to_string(Json::parse("42")), "42");
  EXPECT_EQ(value_to_string(Json::parse("-7")), "-7");
  EXPECT_EQ(value_to_string(Json::parse("false")), "false");
  EXPECT_EQ(value_to_string(Json::parse("[1, 2]")), "[1,2]");
  EXPECT_EQ(value_to_string(Json::parse("[]")), "[]");
  EXPECT_EQ(value_to_string(Json::parse("{}")), "{}");
  EXPECT_EQ(value_to_string(Json::parse(R"( {"k" : ["a\n", null, {"\u00e9":1.5}]} )")),
            "{\"k\":[\"a\\n\",null,{\"\xC3\xA9\":1.5}]}");
  // Floats as nlohmann writes them (shortest round trip, ".0" kept, exponent with sign).
  EXPECT_EQ(value_to_string(Json::parse("1.5")), "1.5");
  EXPECT_EQ(value_to_string(Json::parse("3.0")), "3.0");
  EXPECT_EQ(value_to_string(Json::parse("3e0")), "3.0");
  EXPECT_EQ(value_to_string(Json::parse("0.1")), "0.1");
  EXPECT_EQ(value_to_string(Json::parse("1e300")), "1e+300");
  EXPECT_EQ(value_to_string(Json::parse("-0.0")), "-0.0");
  EXPECT_EQ(value_to_string(Json::parse("18446744073709551615")), "18446744073709551615");
  EXPECT_EQ(value_to_string(Json::parse("18446744073709551616")), "1.8446744073709552e+19");
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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":"48.1",
      "created_at_longitude":null,"created_at_altitude":[1]}}})");
  ASSERT_TRUE(result);
  EXPECT_FALSE(result->file.created_at_latitude);
  EXPECT_FALSE(result->file.created_at_longitude);
  EXPECT_FALSE(result->file.created_at_altitude);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonFile, AlternativeKeyUsedWhenSpecKeyAbsentOrNotANumber) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  auto result = parse(R"({"qel":{"file":{"created_at_latitude":1,"latitude":2,
      "created_at_longitude":3,"longitude":"x","created_at_altitude":5.5,"altitude":6}}})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->file.created_at_latitude, 1.0);
  EXPECT_EQ(result->file.created_at_longitude, 3.0);
  EXPECT_EQ(result->file.created_at_altitude, 5.5);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonFile, UnknownFileKeysAreDebugRecordsWithQuotedKey) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  ASSERT_TRUE(parse(R"({"qel":{"file":{"creator":"c","Creator":"d","b\"x":null}}})"));
  EXPECT_EQ(captured.messages(Level::Debug, kJson),
            (std::vector<std::string>{"QEL5 file.\"Creator\" is not known to this build; ignored",
                                      "QEL5 file.\"b\\\"x\" is not known to this build; ignored"}));
  EXPECT_TRUE(captured.messages(Level::Warn, kJson).empty());
}

// ---------------------------------------------------------------------------
// Channels: required fields and the order of checks.

TEST(MetaJsonChannel, ElementMustBeAnObject) {
  const std::vector<std::pair<std::string_view, std::string_view>> cases{
      {"null", "null"},  {"true", "bool"},    {"1", "number"},
      {"1.5", "number"}, {"\"c\"", "string"}, {"[]", "array"}};
  for (const auto& [element, kind] : cases) {
    EXPECT_EQ(error_of(channel_doc(element)),
              invalid("QEL5 channels[0] must be an object, got " + std::string(kind)));
  }
  // The position counts array elements.
  EXPECT_EQ(error_of(R"({"qel":{"channels":[{"index":1,"name":"x","channeltype":"scalar",
      "datatype":"double","sizeoflengthvalue":2},7]}})"),
            invalid("QEL5 channels[1] must be an object, got number"));
}

TEST(MetaJsonChannel, IndexClassification) {
  const std::string missing = invalid("channel at position 0 is missing required field \"index\"");
  EXPECT_EQ(error_of(channel_doc(R"({"name":"x"})")), missing);
  for (const std::string_view index :
       {"1.0", "3e0", "1E0", "\"1\"", "null", "true", "[1]", "9223372036854775808",
        "18446744073709551615", "-9223372036854775809", "0.5"}) {
    EXPECT_EQ(error_of(one_channel("\"index\":" + std::string(index))), missing) << index;
  }
  EXPECT_EQ(error_of(one_channel(R"("index":70000)")),
            invalid("channel at position 0 has index=70000 out of range 0..=65535"));
  EXPECT_EQ(error_of(one_channel(R"("index":-1)")),
            invalid("channel at position 0 has index=-1 out of range 0..=65535"));
  EXPECT_EQ(error_of(one_channel(R"("index":65536)")),
            invalid("channel at position 0 has index=65536 out of range 0..=65535"));
  EXPECT_EQ(error_of(one_channel(R"("index":9223372036854775807)")),
            invalid("channel at position 0 has index=9223372036854775807 out of range 0..=65535"));
  EXPECT_EQ(error_of(one_channel(R"("index":-9223372036854775808)")),
            invalid("channel at position 0 has index=-9223372036854775808 out of range 0..=65535"));

  auto edge = parse(one_channel(R"("index":65535)"));
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->channels[0].index, 65535);
  auto zero = parse(one_channel(R"("index":-0)"));
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->channels[0].index, 0);
}

TEST(MetaJsonChannel, NameChannelTypeDataTypeMustBeStrings) {
  EXPECT_EQ(error_of(channel_doc(R"({"index":7})")),
            invalid("channel at index 7 is missing required field \"name\""));
  EXPECT_EQ(error_of(one_channel(R"("name":5)")),
            invalid("channel at index 1 is missing required field \"name\""));
  EXPECT_EQ(error_of(one_channel(R"("channeltype":null)")),
            invalid("channel \"x\" is missing required field \"channeltype\""));
  EXPECT_EQ(error_of(one_channel(R"("datatype":["double"])")),
            invalid("channel \"x\" is missing required field \"datatype\""));
  EXPECT_EQ(error_of(channel_doc(R"({"index":1,"name":"a\"b"})")),
            invalid("channel \"a\\\"b\" is missing required field \"channeltype\""));
}

TEST(MetaJsonChannel, OrderOfChecks) {
  // Everything missing: index first.
  EXPECT_EQ(error_of(channel_doc("{}")),
            invalid("channel at position 0 is missing required field \"index\""));
  // Then name, then channeltype, then datatype, then sizeoflengthvalue.
  EXPECT_EQ(error_of(channel_doc(R"({"index":3,"sizeoflengthvalue":9})")),
            invalid("channel at index 3 is missing required field \"name\""));
  EXPECT_EQ(error_of(channel_doc(R"({"index":3,"name":"n","datatype":"pair"})")),
            invalid("channel \"n\" is missing required field \"channeltype\""));
  EXPECT_EQ(
      error_of(channel_doc(R"({"index":3,"name":"n","channeltype":"s","sizeoflengthvalue":9})")),
      invalid("channel \"n\" is missing required field \"datatype\""));
  {
    // channeltype is read (and warns) before datatype fails.
    Captured captured;
    qel::log::ScopedSink scope(captured.sink);
    auto result =
        parse(channel_doc(R"({"index":3,"name":"n","channeltype":"s","datatype":"gpsdata"})"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::RemovedField);
    EXPECT_EQ(captured.messages(Level::Warn, kMeta),
              std::vector<std::string>{
                  "channeltype \"s\" is not a known QEL channel type; kept verbatim"});
  }
  EXPECT_EQ(
      error_of(channel_doc(R"({"index":3,"name":"n","channeltype":"scalar","datatype":"int8"})")),
      invalid("channel \"n\" is missing required field \"sizeoflengthvalue\""));
  // The first failing channel in array order decides; infos come after channels.
  EXPECT_EQ(
      error_of(R"({"qel":{"infos":[{}],"channels":[{"index":1,"name":"a","channeltype":"scalar",
      "datatype":"int8","sizeoflengthvalue":2},{"index":-5}]}})"),
      invalid("channel at position 1 has index=-5 out of range 0..=65535"));
  // "file" comes before the channels.
  EXPECT_EQ(error_of(R"({"qel":{"channels":[{}],"file":7}})"),
            invalid("QEL5 \"file\" must be an object"));
}

TEST(MetaJsonChannel, SizeOfLengthValue) {
  const std::string missing =
      invalid("channel \"x\" is missing required field \"sizeoflengthvalue\"");
  for (const std::string_view value :
       {"-2", "2.0", "2e0", "\"2\"", "null", "-9223372036854775808"}) {
    EXPECT_EQ(error_of(one_channel("\"sizeoflengthvalue\":" + std::string(value))), missing)
        << value;
  }
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":3)")),
            "invalid QEL metablock: sizeoflengthvalue must be 2 or 4, got 3");
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":-0)")),
            "invalid QEL metablock: sizeoflengthvalue must be 2 or 4, got 0");
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":4294967295)")),
            "invalid QEL metablock: sizeoflengthvalue must be 2 or 4, got 4294967295");
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":4294967296)")),
            invalid("channel \"x\" sizeoflengthvalue=4294967296 out of range"));
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":18446744073709551615)")),
            invalid("channel \"x\" sizeoflengthvalue=18446744073709551615 out of range"));
  // 2^64 is not an integer any more.
  EXPECT_EQ(error_of(one_channel(R"("sizeoflengthvalue":18446744073709551616)")), missing);
  auto four = parse(one_channel(R"("sizeoflengthvalue":4)"));
  ASSERT_TRUE(four);
  EXPECT_EQ(four->channels[0].sizeoflengthvalue, 4);
}

TEST(MetaJsonChannel, RemovedDataTypeFails) {
  auto result = parse(one_channel(R"("datatype":"gpsdata")"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::RemovedField);
  EXPECT_EQ(result.error().message(),
            "field \"datatype\" uses \"gpsdata\", removed in spec revision 2026-05-04 \xE2\x80\x94 "
            "replacement: \"gpslocation\"");
}

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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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

TEST(MetaJsonChannel, WithdrawnKeysWarnInFixedOrderWhateverTheirValue) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  auto result = parse(one_channel(
      R"("physicaldimension3":1,"offset":"o","scale":null,"physicalunit2":[],)"
      R"("physicalunit1":{},"physicaldimension1":true,"physicalunit3":0,"physicaldimension2":2.5)"));
  ASSERT_TRUE(result);
  std::vector<std::string> expected;
  for (const std::string_view key :
       {"scale", "offset", "physicalunit1", "physicalunit2", "physicalunit3", "physicaldimension1",
        "physicaldimension2", "physicaldimension3"}) {
    expected.push_back("channel \"x\" carries deprecated field \"" + std::string(key) +
                       "\" (removed in spec revision 2026-05-04); ignored");
  }
  EXPECT_EQ(captured.messages(Level::Warn, kJson), expected);
  EXPECT_TRUE(captured.messages(Level::Debug, kJson).empty());
}

TEST(MetaJsonChannel, UnknownKeysAreDebugRecordsInByteOrder) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
  auto result = parse(one_channel(R"("datatype":"INT8","channeltype":"cube")"));
  ASSERT_TRUE(result);
  EXPECT_EQ(result->channels[0].datatype, qel::DataType::unsupported("INT8"));
  EXPECT_EQ(result->channels[0].channeltype, qel::ChannelType::other("cube"));
  EXPECT_EQ(captured.messages(Level::Warn, kMeta).size(), 2U);
}

// ---------------------------------------------------------------------------
// Infos.

TEST(MetaJsonInfos, RequiredNameAndMessages) {
  EXPECT_EQ(error_of(R"({"qel":{"infos":[{"name":"a"},5]}})"),
            invalid("QEL5 infos[1] must be an object"));
  EXPECT_EQ(error_of(R"({"qel":{"infos":[null]}})"), invalid("QEL5 infos[0] must be an object"));
  EXPECT_EQ(error_of(R"({"qel":{"infos":[{"value":"v"}]}})"),
            invalid("QEL5 infos[0] is missing \"name\""));
  EXPECT_EQ(error_of(R"({"qel":{"infos":[{"name":1}]}})"),
            invalid("QEL5 infos[0] is missing \"name\""));
  auto removed = parse(R"({"qel":{"infos":[{"name":"a","datatype":"pair"}]}})");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::RemovedField);
}

TEST(MetaJsonInfos, DefaultsAndValueRendering) {
  Captured captured;
  qel::log::ScopedSink scope(captured.sink);
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
