// The version-5 JSON metablock reader.

#include <tuple>
#include <utility>

#include "metablock/meta_json.hpp"
#include "metablock/parse.hpp"
#include "test_support.hpp"

namespace {

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::test::bytes_of;
using qel::test::Captured;
using qel::test::describe;
using qel::test::invalid;
using qel::test::Refusal;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_json(bytes_of(text));
}

std::string channel_doc(std::string_view object) {
  return R"({"qel":{"channels":[)" + std::string(object) + "]}}";
}

// One channel: the required members, then these (a later duplicate key replaces an earlier one).
std::string one_channel(std::string_view members) {
  return channel_doc(
      R"({"index":1,"name":"x","channeltype":"scalar","datatype":"double","sizeoflengthvalue":2,)" +
      std::string(members) + "}");
}

std::string file_doc(std::string_view members) {
  return R"({"qel":{"file":{)" + std::string(members) + "}}}";
}

TEST(MetaJsonSyntax, LibraryErrorsGetThePrefixAndValidUtf8) {
  for (const auto& [doc, tail] : std::vector<std::pair<std::string, std::string>>{
           {"{\"qel\":{}}{}",
            "line 1, column 11: syntax error while parsing value - unexpected '{'; expected end of "
            "input"},
           {file_doc("\"creator\":\"a\xFF\""),
            "ill-formed UTF-8 byte; last read: '\"a\xEF\xBF\xBD'"},
           {file_doc(R"("created_at_altitude":1e400)"), "number overflow parsing '1e400'"}}) {
    auto result = parse(doc);
    ASSERT_FALSE(result) << doc;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson);
    const std::string& message = result.error().message();
    EXPECT_TRUE(message.starts_with("QEL5 metablock JSON parse error: [json.exception."))
        << message;
    EXPECT_TRUE(message.ends_with(tail)) << message;
  }
}

// null gives nothing, a string its text, any other value its compact JSON text (a
// float keeps its ".0", object keys in byte order at every depth), without recursion.
TEST(MetaJsonRead, TextRule) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  for (const auto& [value, text] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"null", std::nullopt},
           {R"("a\"b")", "a\"b"},
           {"3e0", "3.0"},
           {R"( {"k" : ["a\n", null, {"\u00e9":1.5}], "b":[{"y":1,"x":false}]} )",
            "{\"b\":[{\"x\":false,\"y\":1}],\"k\":[\"a\\n\",null,{\"\xC3\xA9\":1.5}]}"},
           {deep, deep}}) {
    auto result = parse(file_doc("\"creator\":" + value));
    ASSERT_TRUE(result) << value.substr(0, 40);
    EXPECT_EQ(result->file.creator, text) << value.substr(0, 40);
  }
}

TEST(MetaJsonRead, FileMembersAndPositionAlternatives) {
  // Positions take any number; other types are absent. The alternative is read
  // when the primary is absent or not a number.
  for (const auto& [members, file] : std::vector<std::pair<std::string, std::string>>{
           {R"("created_utc":"2024","creator":12,"reason":null,"tag":true,"comment":[1,2],)"
            R"("namespacesep":"::","created_at_latitude":48,"created_at_longitude":-11.5,)"
            R"("created_at_altitude":18446744073709551615)",
            R"(created_utc="2024" creator="12" tag="true" comment="[1,2]" namespacesep="::" )"
            "latitude=48 longitude=-11.5 altitude=18446744073709551616"},
           {R"("created_at_latitude":"48.1","latitude":48.1,"created_at_longitude":3,)"
            R"("longitude":4,"created_at_altitude":null,"altitude":"high")",
            "latitude=48.1 longitude=3"}}) {
    auto result = parse(file_doc(members));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(describe(result->file), file);
  }
}

TEST(MetaJsonRead, ChannelsAndInfos) {
  const Captured captured;
  auto result = parse(R"({"qel":{"channels":[{"index":9,"name":"speed","channeltype":"vector",)"
                      R"("datatype":"bytearray","sizeoflengthvalue":4,)"
                      R"("timeincrement":-9223372036854775808,"mimetype":"image/png",)"
                      R"("physicalunit":"m/s","physicaldimension":null,"displayname":5,)"
                      R"("comment":[true],"reference":"r","spectrumtype":"realimag"}],)"
                      R"("infos":[{"name":"a"},{"name":"b","value":null,"datatype":5},)"
                      R"({"name":"c","value":2.50,"datatype":"int32","physicalunit":"V"}]}})");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->channels.size(), 1U);
  EXPECT_EQ(describe(result->channels[0]),
            R"(index=9 name="speed" channeltype=vector datatype=Binary sizeoflengthvalue=4 )"
            R"(timeincrement=-9223372036854775808 mimetype="image/png" physicalunit="m/s" )"
            R"(displayname="5" comment="[true]" reference="r" spectrumtype=realimag)");
  ASSERT_EQ(result->infos.size(), 3U);
  EXPECT_EQ(describe(result->infos[0]), R"(name="a" value="" datatype=String)");
  EXPECT_EQ(describe(result->infos[1]), R"(name="b" value="null" datatype=String)");
  EXPECT_EQ(describe(result->infos[2]), R"(name="c" value="2.5" datatype=Int32 physicalunit="V")");
  EXPECT_EQ(qel::test::log_lines(captured),
            std::vector<std::string>{
                "D meta: datatype \"bytearray\": read-side alias used, normalising to \"binary\""});
}

// An integer is a number written without fraction and exponent within the signed
// 64-bit range; a time increment or spectrum type of another kind is absent.
TEST(MetaJsonRead, IntegerClassification) {
  for (const auto& [members, index, increment] :
       std::vector<std::tuple<std::string, int, std::optional<std::int64_t>>>{
           {R"("index":-0)", 0, std::nullopt},
           {R"("index":65535,"timeincrement":9223372036854775807)", 65535, INT64_MAX},
           {R"("timeincrement":3.0,"spectrumtype":3)", 1, std::nullopt},
           {R"("timeincrement":9223372036854775808)", 1, std::nullopt}}) {
    auto result = parse(one_channel(members));
    ASSERT_TRUE(result) << members;
    EXPECT_EQ(result->channels[0].index, index) << members;
    EXPECT_EQ(result->channels[0].timeincrement, increment) << members;
    EXPECT_FALSE(result->channels[0].spectrumtype) << members;
  }
}

TEST(MetaJsonErrors, EveryRefusalHasItsMessage) {
  const auto missing = [](std::string_view channel, std::string_view field) {
    return invalid("channel " + std::string(channel) + " is missing required field \"" +
                   std::string(field) + "\"");
  };
  const auto bad_index = [](std::string_view position, std::string_view index) {
    return invalid("channel at position " + std::string(position) +
                   " has index=" + std::string(index) + " out of range 0..=65535");
  };
  const std::string no_file = invalid("QEL5 \"file\" must be an object");
  const std::string no_width = missing("\"x\"", "sizeoflengthvalue");
  const std::vector<Refusal> cases{
      {"[]", invalid("QEL5 root must be a JSON object")},
      {R"({"QEL":{}})", invalid("QEL5 root is missing the \"qel\" envelope")},
      // A later invalid duplicate replaces an earlier valid value.
      {R"({"qel":{"file":{},"file":null}})", no_file},
      // "file" comes before the channels.
      {R"({"qel":{"channels":[{}],"file":7}})", no_file},
      {R"({"qel":{"channels":{}}})", invalid("QEL5 \"channels\" must be an array")},
      {R"({"qel":{"infos":"x"}})", invalid("QEL5 \"infos\" must be an array")},
      {one_channel(R"("a":1},true,{"c":1)"),
       invalid("QEL5 channels[1] must be an object, got bool")},
      // Order of checks: index, name, channeltype, datatype, sizeoflengthvalue.
      {one_channel(R"("index":1.0)"), missing("at position 0", "index")},
      {one_channel(R"("index":65536)"), bad_index("0", "65536")},
      {one_channel(R"("name":5)"), missing("at index 1", "name")},
      {channel_doc(R"({"index":1,"name":"a\"b","datatype":"pair"})"),
       missing(R"("a\"b")", "channeltype")},
      {channel_doc(R"({"index":3,"name":"x","channeltype":"s","sizeoflengthvalue":9})"),
       missing("\"x\"", "datatype")},
      {one_channel(R"("datatype":"gpsdata","sizeoflengthvalue":3)"),
       "field \"datatype\" uses \"gpsdata\", removed in ", ErrorKind::RemovedField},
      // The width must be a non-negative integer up to 2^64-1, then fit 32 bits, then be 2 or 4.
      {one_channel(R"("sizeoflengthvalue":18446744073709551616)"), no_width},
      {one_channel(R"("sizeoflengthvalue":4294967296)"),
       invalid("channel \"x\" sizeoflengthvalue=4294967296 out of range")},
      {one_channel(R"("sizeoflengthvalue":-0)"),
       invalid("sizeoflengthvalue must be 2 or 4, got 0")},
      // The first failing channel in array order decides; infos come after channels.
      {R"({"qel":{"infos":[{}],"channels":[{"index":1,"name":"a","channeltype":"scalar",)"
       R"("datatype":"int8","sizeoflengthvalue":2},{"index":-5}]}})",
       bad_index("1", "-5")},
      {R"({"qel":{"infos":[{"name":"a"},5]}})", invalid("QEL5 infos[1] must be an object")},
      {R"({"qel":{"infos":[{"name":1}]}})", invalid("QEL5 infos[0] is missing \"name\"")},
  };
  qel::test::expect_refusals(cases, parse);
}

// The kinds of records; unknown keys in ascending byte order ("Z" < "a" < "é": a
// signed-char comparison would put "é" first), "file" first, withdrawn fields before
// unknown ones; nothing is logged for a refused document.
TEST(MetaJsonLog, RecordsOfAcceptedDocuments) {
  const Captured captured;
  ASSERT_TRUE(
      parse("{\"qel\":{\"format\":\"qel4\",\"version\":1,\"\xC3\xA9\":1,\"a\":1,\"Z\":1,"
            "\"file\":{\"Creator\":1,\"longitude\":3},\"channels\":[{\"index\":1,\"name\":\"x\","
            "\"channeltype\":\"scalar\",\"datatype\":\"int8\",\"sizeoflengthvalue\":2,"
            "\"zeta\":1,\"offset\":null}]},\"other\":1}"));
  qel::test::expect_log_starts(
      captured,
      {"W meta_json: QEL5 metablock declares format=\"qel4\"; expected \"qel5\". parsing as QEL5 "
       "anyway because the magic header was QEL5.",
       "D meta_json: QEL5 file.longitude accepted as alternative for created_at_longitude;",
       "D meta_json: QEL5 file.\"Creator\" is not known to this build; ignored",
       "W meta_json: channel \"x\" carries deprecated field \"offset\" (removed ",
       "D meta_json: channel \"x\": field \"zeta\" is not known to this build; ignored",
       "D meta_json: QEL5 metablock top-level field \"Z\" is not known to this build; ignored",
       "D meta_json: QEL5 metablock top-level field \"a\" is not known to this build; ignored",
       "D meta_json: QEL5 metablock top-level field \"\xC3\xA9\" is not known to this build; "
       "ignored"});
  const Captured refused;
  ASSERT_FALSE(parse(R"({"qel":{"extra":1,"infos":[{}]}})"));
  EXPECT_TRUE(refused.sink.records.empty());
}

TEST(MetaJsonDispatch, ParseMetablockPicksTheReaderByVersion) {
  const std::string_view json = R"({"qel":{"file":{"creator":"j"}}})";
  auto v5 = qel::parse_metablock(5, bytes_of(json));
  ASSERT_TRUE(v5);
  EXPECT_EQ(v5->file.creator, "j");
  auto v4 = qel::parse_metablock(4, bytes_of(R"(<velmaris creator="x"></velmaris>)"));
  ASSERT_TRUE(v4);
  EXPECT_EQ(v4->format_version, 4U);
  EXPECT_EQ(qel::parse_metablock(6, bytes_of(json)).error().kind(), ErrorKind::UnsupportedVersion);
}

}  // namespace
