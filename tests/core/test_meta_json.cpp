// The version-5 JSON metablock reader.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qel/meta.hpp"
#include "qel/meta_json.hpp"
#include "test_support.hpp"

namespace {

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::test::bytes_of;
using qel::test::Captured;
using qel::test::describe;
using qel::test::invalid;
using qel::test::log_lines;
using qel::test::Refusal;
using qel::test::removed_datatype;
using Lines = std::vector<std::string>;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_json(bytes_of(text));
}

// A document with one channel object written out in full.
std::string channel_doc(std::string_view object) {
  return R"({"qel":{"channels":[)" + std::string(object) + "]}}";
}

// A document with one channel: the required members, then these (a later
// duplicate key replaces an earlier one).
std::string one_channel(std::string_view members) {
  return channel_doc(
      R"({"index":1,"name":"x","channeltype":"scalar","datatype":"double","sizeoflengthvalue":2,)" +
      std::string(members) + "}");
}

std::string file_doc(std::string_view members) {
  return R"({"qel":{"file":{)" + std::string(members) + "}}}";
}

// ---------------------------------------------------------------------------
// Syntax: the JSON library's errors and behaviour.

TEST(MetaJsonSyntax, LibraryErrorsKeepTheLibrarysText) {
  const std::string prefix = "QEL5 metablock JSON parse error: ";
  for (const auto& [doc, part] : std::vector<std::pair<std::string, std::string>>{
           {"{\"qel\":\n {\"a\": tru}}",
            "[json.exception.parse_error.101] parse error at line 2, column 11: "},
           // Nothing may follow the value, and there are no comments.
           {"{\"qel\":{}}{}",
            "line 1, column 11: syntax error while parsing value - unexpected '{'"},
           {"// c\n{\"qel\":{}}", "line 1, column 1: syntax error while parsing value"},
           // The library quotes the bytes it read last; the message is made valid UTF-8.
           {"{\"qel\":{\"file\":{\"creator\":\"a\xFF\"}}}",
            "ill-formed UTF-8 byte; last read: '\"a\xEF\xBF\xBD'"},
           {file_doc(R"("created_at_altitude":1e400)"), "number overflow parsing '1e400'"}}) {
    auto result = parse(doc);
    ASSERT_FALSE(result) << doc;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockJson) << doc;
    EXPECT_TRUE(result.error().message().starts_with(prefix)) << result.error().message();
    EXPECT_NE(result.error().message().find(part), std::string::npos) << result.error().message();
  }
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
}

TEST(MetaJsonSyntax, DeeplyNestedValueIsRenderedWithoutRecursion) {
  constexpr std::size_t kDepth = 200000;
  std::string nested(kDepth, '[');
  nested.append(kDepth, ']');
  auto result = parse(file_doc("\"creator\":" + nested));
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, nested);
}

// ---------------------------------------------------------------------------
// What is read from accepted documents.

TEST(MetaJsonRead, EmptyEnvelopeGivesAnEmptyModel) {
  const Captured captured;
  auto result = parse(R"({"qel": {}})");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->format_version, 5U);
  EXPECT_EQ(describe(result->file), "");
  EXPECT_TRUE(result->channels.empty());
  EXPECT_TRUE(result->infos.empty());
  EXPECT_TRUE(captured.sink.records.empty());
}

// null gives nothing, a string its text, any other value its compact JSON text as
// the library writes it (a float keeps its ".0", object keys in byte order at
// every depth).
TEST(MetaJsonRead, TextRule) {
  for (const auto& [value, text] : std::vector<std::pair<std::string, std::optional<std::string>>>{
           {"null", std::nullopt},
           {R"("a\"b")", "a\"b"},
           {"42", "42"},
           {"-7", "-7"},
           {"false", "false"},
           {"[1, 2]", "[1,2]"},
           {"[]", "[]"},
           {"{}", "{}"},
           {R"( {"k" : ["a\n", null, {"\u00e9":1.5}]} )",
            "{\"k\":[\"a\\n\",null,{\"\xC3\xA9\":1.5}]}"},
           {R"({"b":[1,[2,[3,{}]],{"y":{"x":[true,null,"s"]}}],"a":-0.5})",
            R"({"a":-0.5,"b":[1,[2,[3,{}]],{"y":{"x":[true,null,"s"]}}]})"},
           {"3e0", "3.0"}}) {
    auto result = parse(file_doc("\"creator\":" + value));
    ASSERT_TRUE(result) << value;
    EXPECT_EQ(result->file.creator, text) << value;
  }
}

TEST(MetaJsonRead, FileMembersAndPositionAlternatives) {
  const auto alternative = [](std::string_view key) {
    return "D meta_json: QEL5 file." + std::string(key) +
           " accepted as alternative for created_at_" + std::string(key) +
           "; writers should emit the spec form";
  };
  struct Case {
    std::string members;
    std::string file;  // describe() of what is read
    Lines records;
  };
  for (const Case& row : std::vector<Case>{
           {R"("created_utc":"2024-01-01T00:00:00Z","creator":12,"reason":null,"tag":true,)"
            R"("comment":[1,2],"namespacesep":{"b":1,"a":[]})",
            R"(created_utc="2024-01-01T00:00:00Z" creator="12" tag="true" comment="[1,2]" )"
            R"(namespacesep="{\"a\":[],\"b\":1}")",
            {}},
           // Positions take any number; other types are absent without a record.
           {R"("created_at_latitude":48,"created_at_longitude":-11.5,)"
            R"("created_at_altitude":18446744073709551615)",
            "latitude=48 longitude=-11.5 altitude=18446744073709551616",
            {}},
           {R"("created_at_latitude":"48.1","created_at_longitude":null,"created_at_altitude":[1])",
            "",
            {}},
           // The alternative is read when the primary is absent or not a number...
           {R"("created_at_latitude":"48.1","latitude":48.1,"longitude":11,"altitude":"high")",
            "latitude=48.1 longitude=11",
            {alternative("latitude"), alternative("longitude")}},
           // ... and neither read nor logged when the primary is a number.
           {R"("created_at_latitude":1,"latitude":2,"created_at_longitude":3,"longitude":"x",)"
            R"("created_at_altitude":5.5,"altitude":6)",
            "latitude=1 longitude=3 altitude=5.5",
            {}}}) {
    SCOPED_TRACE(row.members);
    const Captured captured;
    auto result = parse(file_doc(row.members));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(describe(result->file), row.file);
    EXPECT_EQ(log_lines(captured), row.records);
  }
}

TEST(MetaJsonRead, FullChannel) {
  auto result = parse(channel_doc(
      R"({"index":9,"name":"speed","channeltype":"vector","datatype":"bytearray",)"
      R"("sizeoflengthvalue":4,"timeincrement":-9223372036854775808,"mimetype":"image/png",)"
      R"("physicalunit":"m/s","physicaldimension":null,"displayname":5,"comment":[true],)"
      R"("reference":"r","spectrumtype":"realimag"})"));
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->channels.size(), 1U);
  EXPECT_EQ(describe(result->channels[0]),
            R"(index=9 name="speed" channeltype=vector datatype=Binary sizeoflengthvalue=4 )"
            R"(timeincrement=-9223372036854775808 mimetype="image/png" physicalunit="m/s" )"
            R"(displayname="5" comment="[true]" reference="r" spectrumtype=realimag)");
}

// An integer is a number written without fraction and exponent; index and
// timeincrement take one within the signed 64-bit range, and for the time
// increment anything else leaves it absent without a record.
TEST(MetaJsonRead, IntegerClassification) {
  struct Case {
    std::string members;
    int index;
    std::optional<std::int64_t> timeincrement;
  };
  const Captured captured;
  for (const Case& row :
       std::vector<Case>{{R"("index":65535)", 65535, std::nullopt},
                         {R"("index":-0)", 0, std::nullopt},
                         {R"("timeincrement":9223372036854775807)", 1, INT64_MAX},
                         {R"("timeincrement":0)", 1, 0},
                         {R"("timeincrement":3.0)", 1, std::nullopt},
                         {R"("timeincrement":3e0)", 1, std::nullopt},
                         {R"("timeincrement":"5")", 1, std::nullopt},
                         {R"("timeincrement":9223372036854775808)", 1, std::nullopt},
                         {R"("timeincrement":18446744073709551615)", 1, std::nullopt},
                         {R"("timeincrement":-9223372036854775809)", 1, std::nullopt}}) {
    auto result = parse(one_channel(row.members));
    ASSERT_TRUE(result) << row.members;
    EXPECT_EQ(result->channels[0].index, row.index) << row.members;
    EXPECT_EQ(result->channels[0].timeincrement, row.timeincrement) << row.members;
  }
  // A spectrum type that is not a string is absent, also without a record.
  auto spectrum = parse(one_channel(R"("spectrumtype":3)"));
  ASSERT_TRUE(spectrum);
  EXPECT_FALSE(spectrum->channels[0].spectrumtype);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(MetaJsonRead, DuplicateIndexesAndNamesAreBothReturned) {
  auto result = parse(R"({"qel":{"channels":[
      {"index":1,"name":"a","channeltype":"scalar","datatype":"int8","sizeoflengthvalue":2},
      {"index":1,"name":"a","channeltype":"scalar","datatype":"string","sizeoflengthvalue":4}]}})");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->channels.size(), 2U);
  EXPECT_EQ(result->channels[0].datatype, qel::DataType(qel::DataTypeId::Int8));
  EXPECT_EQ(result->channels[1].datatype, qel::DataType(qel::DataTypeId::String));
}

TEST(MetaJsonRead, InfoDefaultsAndValueRendering) {
  const Captured captured;
  auto result = parse(R"({"qel":{"infos":[
      {"name":"a"},
      {"name":"b","value":null,"datatype":5},
      {"name":"c","value":"text","datatype":"int32","physicalunit":"V"},
      {"name":"d","value":[1,{"k":2}],"physicalunit":null,"other":1},
      {"name":"e","value":2.50}]}})");
  ASSERT_TRUE(result) << result.error().message();
  Lines infos;
  for (const auto& info : result->infos) infos.push_back(describe(info));
  EXPECT_EQ(infos, (Lines{R"(name="a" value="" datatype=String)",
                          R"(name="b" value="null" datatype=String)",
                          R"(name="c" value="text" datatype=Int32 physicalunit="V")",
                          R"(name="d" value="[1,{\"k\":2}]" datatype=String)",
                          R"(name="e" value="2.5" datatype=String)"}));
  // Other keys of an info are ignored without a record.
  EXPECT_TRUE(captured.sink.records.empty());
}

// ---------------------------------------------------------------------------
// Refused documents: one row per message and per order of checks.

TEST(MetaJsonErrors, EveryRefusalHasItsMessage) {
  const auto missing = [](std::string_view channel, std::string_view field) {
    return invalid("channel " + std::string(channel) + " is missing required field \"" +
                   std::string(field) + "\"");
  };
  const auto bad_index = [](std::string_view position, std::string_view index) {
    return invalid("channel at position " + std::string(position) +
                   " has index=" + std::string(index) + " out of range 0..=65535");
  };
  const auto not_object = [](std::string_view kind) {
    return invalid("QEL5 channels[0] must be an object, got " + std::string(kind));
  };
  const std::string no_root = invalid("QEL5 root must be a JSON object");
  const std::string no_envelope = invalid("QEL5 root is missing the \"qel\" envelope");
  const std::string no_file = invalid("QEL5 \"file\" must be an object");
  const std::string no_index = missing("at position 0", "index");
  const std::string no_width = missing("\"x\"", "sizeoflengthvalue");
  const std::string no_info_name = invalid("QEL5 infos[0] is missing \"name\"");
  const std::vector<Refusal> cases{
      {"[]", no_root},
      {"5", no_root},
      {R"({"qel": 5})", no_envelope},
      {R"({})", no_envelope},
      {R"({"QEL":{}})", no_envelope},
      {R"({"qel":{"file":null}})", no_file},
      // A later invalid duplicate replaces an earlier valid value.
      {R"({"qel":{"file":{},"file":null}})", no_file},
      // "file" comes before the channels.
      {R"({"qel":{"channels":[{}],"file":7}})", no_file},
      {R"({"qel":{"channels":{}}})", invalid("QEL5 \"channels\" must be an array")},
      {R"({"qel":{"infos":"x"}})", invalid("QEL5 \"infos\" must be an array")},
      {channel_doc("null"), not_object("null")},
      {channel_doc("true"), not_object("bool")},
      {channel_doc("1"), not_object("number")},
      {channel_doc("\"c\""), not_object("string")},
      {channel_doc("[]"), not_object("array")},
      // The position counts array elements.
      {one_channel(R"("a":1},7,{"c":1)"),
       invalid("QEL5 channels[1] must be an object, got number")},
      // Order of checks: index, name, channeltype, datatype, sizeoflengthvalue.
      {channel_doc("{}"), no_index},
      // Not an integer, or not within the signed 64-bit range: the index counts as missing.
      {one_channel(R"("index":1.0)"), no_index},
      {one_channel(R"("index":"1")"), no_index},
      {one_channel(R"("index":9223372036854775808)"), no_index},
      {one_channel(R"("index":-1)"), bad_index("0", "-1")},
      {one_channel(R"("index":65536)"), bad_index("0", "65536")},
      {channel_doc(R"({"index":3,"sizeoflengthvalue":9})"), missing("at index 3", "name")},
      {one_channel(R"("name":5)"), missing("at index 1", "name")},
      {channel_doc(R"({"index":3,"name":"n","datatype":"pair"})"), missing("\"n\"", "channeltype")},
      {one_channel(R"("channeltype":null)"), missing("\"x\"", "channeltype")},
      {channel_doc(R"({"index":1,"name":"a\"b"})"), missing(R"("a\"b")", "channeltype")},
      {channel_doc(R"({"index":3,"name":"n","channeltype":"s","sizeoflengthvalue":9})"),
       missing("\"n\"", "datatype")},
      {one_channel(R"("datatype":["double"])"), missing("\"x\"", "datatype")},
      {one_channel(R"("datatype":"gpsdata")"), removed_datatype("gpsdata", "gpslocation"),
       ErrorKind::RemovedField},
      {channel_doc(R"({"index":3,"name":"n","channeltype":"scalar","datatype":"int8"})"),
       missing("\"n\"", "sizeoflengthvalue")},
      // The width must be a non-negative integer up to 2^64-1, then fit 32 bits, then be 2 or 4.
      {one_channel(R"("sizeoflengthvalue":-2)"), no_width},
      {one_channel(R"("sizeoflengthvalue":2.0)"), no_width},
      {one_channel(R"("sizeoflengthvalue":"2")"), no_width},
      {one_channel(R"("sizeoflengthvalue":18446744073709551616)"), no_width},
      {one_channel(R"("sizeoflengthvalue":4294967296)"),
       invalid("channel \"x\" sizeoflengthvalue=4294967296 out of range")},
      {one_channel(R"("sizeoflengthvalue":4294967295)"),
       invalid("sizeoflengthvalue must be 2 or 4, got 4294967295")},
      {one_channel(R"("sizeoflengthvalue":-0)"),
       invalid("sizeoflengthvalue must be 2 or 4, got 0")},
      // The first failing channel in array order decides; infos come after channels.
      {R"({"qel":{"infos":[{}],"channels":[{"index":1,"name":"a","channeltype":"scalar",)"
       R"("datatype":"int8","sizeoflengthvalue":2},{"index":-5}]}})",
       bad_index("1", "-5")},
      {R"({"qel":{"infos":[{"name":"a"},5]}})", invalid("QEL5 infos[1] must be an object")},
      {R"({"qel":{"infos":[{"value":"v"}]}})", no_info_name},
      {R"({"qel":{"infos":[{"name":1}]}})", no_info_name},
      {R"({"qel":{"infos":[{"name":"a","datatype":"pair"}]}})",
       removed_datatype("pair", "two or three separate double channels"), ErrorKind::RemovedField},
  };
  qel::test::expect_refusals(cases, parse);
}

TEST(MetaJsonErrors, ChannelTypeIsReadBeforeDataTypeFails) {
  const Captured captured;
  auto result =
      parse(channel_doc(R"({"index":3,"name":"n","channeltype":"s","datatype":"gpsdata"})"));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::RemovedField);
  EXPECT_EQ(log_lines(captured),
            Lines{"W meta: channeltype \"s\" is not a known QEL channel type; kept verbatim"});
}

// ---------------------------------------------------------------------------
// Log records.

TEST(MetaJsonLog, RecordsOfAcceptedDocuments) {
  const auto top = [](std::string_view key) {
    return "D meta_json: QEL5 metablock top-level field \"" + std::string(key) +
           "\" is not known to this build; ignored";
  };
  const auto file = [](std::string_view key) {
    return "D meta_json: QEL5 file." + std::string(key) + " is not known to this build; ignored";
  };
  const auto withdrawn = [](std::string_view key) {
    return "W meta_json: channel \"x\" carries deprecated field \"" + std::string(key) +
           "\" (removed in spec revision 2026-05-04); ignored";
  };
  const auto unknown = [](std::string_view key) {
    return "D meta_json: channel \"x\": field \"" + std::string(key) +
           "\" is not known to this build; ignored";
  };
  const std::vector<std::pair<std::string, Lines>> cases{
      // Other root keys, format "qel5" or not a string, and "version" give nothing.
      {R"({"other":1,"qel":{"format":"qel5","version":"anything"},"zzz":[1]})", {}},
      {R"({"qel":{"format":5,"version":{"a":1}}})", {}},
      {R"({"qel":{"format":"qel4","file":{"creator":"c"}}})",
       {"W meta_json: QEL5 metablock declares format=\"qel4\"; expected \"qel5\". parsing as "
        "QEL5 anyway because the magic header was QEL5."}},
      {R"({"qel":{"extra":1,"infos":[]}})", {top("extra")}},
      // Keys in ascending byte order: "Z" < "_" < "a" < "z" < "é" (a signed-char
      // comparison would put "é" first); "file" is visited first.
      {"{\"qel\":{\"\xC3\xA9\":1,\"z\":1,\"a\":1,\"Z\":1,\"_\":1,"
       "\"file\":{\"\xC3\xA9\":1,\"zz\":1,\"AA\":1}}}",
       {file("\"AA\""), file("\"zz\""), file("\"\xC3\xA9\""), top("Z"), top("_"), top("a"),
        top("z"), top("\xC3\xA9")}},
      {file_doc(R"("creator":"c","Creator":"d","b\"x":null)"),
       {file("\"Creator\""), file(R"("b\"x")")}},
      // Withdrawn keys warn in a fixed order whatever their value, before the unknown
      // keys in byte order.
      {one_channel(R"("physicaldimension3":1,"offset":"o","scale":null,"physicalunit2":[],)"
                   R"("physicalunit1":{},"physicaldimension1":true,"physicalunit3":0,)"
                   R"("physicaldimension2":2.5,"zeta":1,"Index":2,"alpha":null)"),
       {withdrawn("scale"), withdrawn("offset"), withdrawn("physicalunit1"),
        withdrawn("physicalunit2"), withdrawn("physicalunit3"), withdrawn("physicaldimension1"),
        withdrawn("physicaldimension2"), withdrawn("physicaldimension3"), unknown("Index"),
        unknown("alpha"), unknown("zeta")}},
      // An unknown data type and channel type are kept, with the vocabulary's records.
      {one_channel(R"("datatype":"INT8","channeltype":"cube")"),
       {"W meta: channeltype \"cube\" is not a known QEL channel type; kept verbatim",
        "W meta: datatype \"INT8\" is not known to this build; channel kept as Unsupported, "
        "block reads will fail"}},
  };
  for (const auto& [doc, records] : cases) {
    SCOPED_TRACE(doc);
    const Captured captured;
    ASSERT_TRUE(parse(doc));
    EXPECT_EQ(log_lines(captured), records);
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
  auto xml = qel::parse_metablock(4, bytes_of(R"(<velmaris creator="x"></velmaris>)"));
  ASSERT_TRUE(xml);
  EXPECT_EQ(xml->format_version, 4U);
  EXPECT_EQ(xml->file.creator, "x");
  auto other = qel::parse_metablock(6, bytes_of(json));
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().kind(), ErrorKind::UnsupportedVersion);
}

}  // namespace
