// The version-4 XML metablock reader.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "qel/meta.hpp"
#include "qel/meta_xml.hpp"
#include "qel/xml_number.hpp"
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
using qel::test::max_rss_kib;
using qel::test::Refusal;
using qel::test::removed_datatype;
using Lines = std::vector<std::string>;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_xml(bytes_of(text));
}

constexpr std::string_view kXmlPrefix = "QEL4 metablock XML parse error: ";

std::string xml_error(std::string_view text) {
  return std::string(kXmlPrefix) + std::string(text);
}

// A document with one channel of these attributes inside <channels>.
std::string channel_doc(std::string_view attributes) {
  return "<velmaris><channels><channel " + std::string(attributes) + "/></channels></velmaris>";
}

// A document with one valid channel named "x" and more attributes.
std::string good_channel(std::string_view more) {
  return channel_doc(
      R"(index="1" name="x" channeltype="scalar" datatype="double" sizeoflengthvalue="2" )" +
      std::string(more));
}

// A <channel> element named `name` with every required attribute.
std::string ch(std::string_view name, std::string_view close = "/>") {
  return "<channel index=\"1\" name=\"" + std::string(name) +
         "\" channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"" + std::string(close);
}

bool empty_model(const MetaBlock& block) {
  return block.format_version == 4 && describe(block.file).empty() && block.channels.empty() &&
         block.infos.empty();
}

// ---------------------------------------------------------------------------
// Number syntax of attributes.

TEST(XmlNumber, Unsigned) {
  using qel::xml_number::parse_unsigned;
  for (const auto& [text, value] : std::vector<std::pair<std::string_view, unsigned>>{
           {"5", 5U}, {"+5", 5U}, {"0005", 5U}, {"65535", 65535U}}) {
    EXPECT_EQ(parse_unsigned(text, 65535), value) << text;
  }
  EXPECT_EQ(parse_unsigned("4294967295", 4294967295U), 4294967295U);
  for (const std::string_view bad :
       {"", "+", "-", "-1", "-0", "65536", "5 ", " 5", "5x", "0x10", "1e2", "1.0", "++5"}) {
    EXPECT_FALSE(parse_unsigned(bad, 65535)) << bad;
  }
  EXPECT_FALSE(parse_unsigned("4294967296", 4294967295U));
  EXPECT_FALSE(parse_unsigned("99999999999999999999999", 4294967295U));
}

TEST(XmlNumber, SignedAndItsMessages) {
  using qel::xml_number::parse_i64;
  for (const auto& [text, value] : std::vector<std::pair<std::string_view, std::int64_t>>{
           {"0", 0}, {"+12", 12}, {"-12", -12}, {"007", 7}}) {
    EXPECT_EQ(parse_i64(text), value) << text;
  }
  EXPECT_EQ(parse_i64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parse_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_i64("").error(), "cannot parse integer from empty string");
  for (const std::string_view bad : {"+", "-", "1.5", " 1", "1 ", "--1", "+-1"}) {
    EXPECT_EQ(parse_i64(bad).error(), "invalid digit found in string") << bad;
  }
  EXPECT_EQ(parse_i64("9223372036854775808").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_i64("-9223372036854775809").error(), "number too small to fit in target type");
  // Scanning from the left, the first offending character decides.
  EXPECT_EQ(parse_i64("99999999999999999999x").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_i64("9x9999999999999999999").error(), "invalid digit found in string");
}

TEST(XmlNumber, Float) {
  using qel::xml_number::parse_f64;
  // Accepted texts read as the C library reads them.
  for (const std::string_view text :
       {"48.5", "+48.5", "-0.25", "5.", ".5", "-.5", "1e3", "1E+3", "2.5e-1", "007", "inf",
        "-Infinity", "+INF", "1e400", "-1e400", "1e-400", "4.9e-324"}) {
    EXPECT_EQ(parse_f64(text), std::strtod(std::string(text).c_str(), nullptr)) << text;
  }
  // Out of range, however the digits sit around the point: zero below, infinity above.
  EXPECT_EQ(parse_f64("0.0000000000000000000000000000000001e-300"), 0.0);
  EXPECT_EQ(parse_f64("100000000000000000000e-350"), 0.0);
  EXPECT_EQ(parse_f64("0.001e312"), INFINITY);
  EXPECT_TRUE(std::isnan(*parse_f64("NaN")));
  EXPECT_TRUE(std::isnan(*parse_f64("nan")));
  EXPECT_EQ(parse_f64("").error(), "cannot parse float from empty string");
  for (const std::string_view bad : {".", "+", "-", "e5", "1e", "1e+", "1.5.2", " 1", "1 ", "0x10",
                                     "north", "infinit", "nan(1)", "1,5", "--1", "1d"}) {
    EXPECT_EQ(parse_f64(bad).error(), "invalid float literal") << bad;
  }
}

// ---------------------------------------------------------------------------
// Refused documents: one row per message and per order of checks.

TEST(XmlErrors, EveryRefusalOfTheReaderHasItsMessage) {
  const std::string root = "QEL4 root element must be <velmaris>, got ";
  const std::string at0 = "QEL4 <channel> at position 0 ";
  const std::string base = R"(index="1" name="x" channeltype="scalar" datatype="double" )";
  const std::vector<Refusal> cases{
      {"<Velmaris></Velmaris>", invalid(root + "<Velmaris>")},
      // A namespace prefix makes the name different.
      {R"(<q:velmaris xmlns:q="urn:q"></q:velmaris>)", invalid(root + "<q:velmaris>")},
      // After the root's end tag, also one inside <channels>, the reader is back before the root.
      {"<velmaris></velmaris><other></other>", invalid(root + "<other>")},
      {"<velmaris><channels><velmaris></velmaris><channel></channel></channels></velmaris>",
       invalid(root + "<channel>")},
      {"<velmaris><foo><bar></bar>", invalid("QEL4 unexpected EOF while skipping <foo>")},
      // Positions: an empty value is not absent; the primary attributes are read first,
      // then the alternatives in their order.
      {R"(<velmaris created_at_altitude=""></velmaris>)",
       invalid(R"(<velmaris created_at_altitude=""> is not a float: cannot parse float from )"
               "empty string")},
      {R"(<velmaris longitude="a" created_at_latitude="b"></velmaris>)",
       invalid(R"(<velmaris created_at_latitude="b"> is not a float: invalid float literal)")},
      {R"(<velmaris altitude="a" longitude="b"></velmaris>)",
       invalid(R"(<velmaris longitude="b"> is not a valid float: invalid float literal)")},
      // Required channel attributes, in the order they are checked.
      {channel_doc(""), invalid(at0 + "is missing required attribute index")},
      {channel_doc(R"(index="65536")"), invalid(at0 + "has index=\"65536\" out of range")},
      {channel_doc(R"(index="7" datatype="pair")"),
       invalid("QEL4 <channel index=7> is missing required attribute name")},
      {channel_doc(R"(index="7" name="a&quot;b" datatype="pair")"),
       invalid(R"(QEL4 <channel name="a\"b"> is missing required attribute channeltype)")},
      {channel_doc(R"(index="7" name="n" channeltype="scalar" sizeoflengthvalue="x")"),
       invalid(R"(QEL4 <channel name="n"> is missing required attribute datatype)")},
      // The removed data type comes before the length-field width.
      {channel_doc(
           R"(index="7" name="n" channeltype="s" datatype="candata" sizeoflengthvalue="x")"),
       removed_datatype("candata", "binary with an application-specific MIME type"),
       ErrorKind::RemovedField},
      {channel_doc(R"(index="7" name="n" channeltype="scalar" datatype="int8" timeincrement="x")"),
       invalid(R"(QEL4 <channel name="n"> is missing required attribute sizeoflengthvalue)")},
      {channel_doc(base + R"(sizeoflengthvalue="4294967296")"),
       invalid(R"(QEL4 <channel name="x"> has sizeoflengthvalue="4294967296" (not numeric))")},
      {channel_doc(base + R"(sizeoflengthvalue="4294967295")"),
       invalid("sizeoflengthvalue must be 2 or 4, got 4294967295")},
      {good_channel(R"(timeincrement="9223372036854775808")"),
       invalid(R"(attribute timeincrement="9223372036854775808" is not an int: number too )"
               "large to fit in target type")},
      // The position counts channels across sections: two, then the third of three.
      {"<velmaris><channels>" + ch("a") + ch("b") + "</channels><channels>" + ch("c") + ch("d") +
           "<channel name=\"e\"/></channels></velmaris>",
       invalid("QEL4 <channel> at position 4 is missing required attribute index")},
      {"<velmaris><infos><info value=\"v\"/></infos></velmaris>",
       invalid("QEL4 <info> is missing name")},
      {"<velmaris><infos><info name=\"a\" datatype=\"triple\"/></infos></velmaris>",
       removed_datatype("triple", "two or three separate double channels"),
       ErrorKind::RemovedField},
  };
  qel::test::expect_refusals(cases, parse);
}

// Inside a tag whose attributes the reader reads, the parser's errors of attribute
// syntax and references carry the attribute prefixes.
TEST(XmlErrors, ParserErrorsKeepTheirPositionAndGainTheAttributePrefixes) {
  const std::string p = "attribute parse error: ";
  const std::string u = "attribute unescape error: ";
  const std::string predefined = " is not one of the predefined entities (lt, gt, amp, apos, quot)";
  const std::string bad_token = "not well-formed (invalid token) at line 1, column ";
  const std::vector<std::pair<std::string, std::string>> cases{
      {"<velmaris>\n  </other>", "mismatched tag at line 2, column 5"},
      {"<velmaris><foo><bar", "unclosed token at line 1, column 16"},
      {"<velmaris><channels>", "no element found at line 1, column 21"},
      // An invalid token outside any tag gets no prefix.
      {R"({"qel":{}})", "not well-formed (invalid token) at line 1, column 1"},
      // Invalid UTF-8 becomes U+FFFD, which is not a name character.
      {"<velmaris x\xC3=\"1\"></velmaris>", p + bad_token + "12"},
      {"<velmaris creator=\"a\" creator=\"b\"></velmaris>",
       p + "duplicate attribute at line 1, column 23"},
      {"<velmaris><channels><channel index=1/></channels></velmaris>", p + bad_token + "36"},
      // An undefined entity wherever an attribute is read, and where one is not.
      {"<velmaris creator=\"&foo;\"></velmaris>", u + "undefined entity at line 1, column 20"},
      {"<velmaris><channels><channel name=\"&foo;\"/></channels></velmaris>",
       u + "undefined entity at line 1, column 36"},
      {"<velmaris><infos><info name=\"a&foo;b\"></info></infos></velmaris>",
       u + "undefined entity at line 1, column 31"},
      {"<velmaris><infos/><channels x=\"&undefined;\"/><thing/></velmaris>",
       "undefined entity at line 1, column 19"},
      {"<velmaris creator=\"&foo;\"/>", "undefined entity at line 1, column 1"},
      // Entities the parser takes, declared or (with an external subset) skipped: the
      // reader takes only the predefined five.
      {"<!DOCTYPE velmaris [<!ENTITY foo \"bar\">]>\n<velmaris creator=\"x&foo;\"></velmaris>",
       u + "entity reference &foo;" + predefined + " in attribute creator at line 2, column 21"},
      {"<!DOCTYPE velmaris SYSTEM \"x.dtd\"><velmaris><channels><channel index=\"&n;\"/>"
       "</channels></velmaris>",
       u + "entity reference &n;" + predefined + " in attribute index at line 1, column 71"},
      {"<velmaris creator=\"&#xD800;\"></velmaris>",
       u + "reference to invalid character number at line 1, column 20"},
      {"<velmaris creator=\"a & b\"></velmaris>", u + bad_token + "23"},
      {"<velmaris creator=\"&;\"></velmaris>", u + bad_token + "21"},
  };
  for (const auto& [doc, message] : cases) {
    auto result = parse(doc);
    ASSERT_FALSE(result) << doc;
    EXPECT_EQ(result.error().message(), xml_error(message)) << doc;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockXml) << doc;
  }
}

// ---------------------------------------------------------------------------
// Documents and the states of the reader.

TEST(XmlDocument, NoRootElementGivesAnEmptyModelWithoutRecords) {
  for (const std::string_view text : {
           "",
           "<?xml version=\"1.0\"?>\n<!-- only a comment -->\n",
           "<!-- c --><?pi target?><!-- d -->",
           "<!DOCTYPE velmaris [<!ENTITY e \"x\"><!ELEMENT velmaris ANY>]>\n<!-- c -->",
           "\xEF\xBB\xBF<?xml version=\"1.0\"?>",
           // An empty element before the root is ignored, whatever its name, and its
           // attributes are not read.
           R"(<velmaris creator="x"/>)",
           R"(<velmaris created_at_latitude="north"/>)",
           R"(<other a="1"/>)",
           "<velmaris></velmaris><other/>  ",
       }) {
    const Captured captured;
    auto result = parse(text);
    ASSERT_TRUE(result) << text << ": " << result.error().message();
    EXPECT_TRUE(empty_model(*result)) << text;
    EXPECT_TRUE(captured.sink.records.empty()) << text;
  }
}

TEST(XmlDocument, EachRootReplacesTheFileInformationAndAddsItsChannels) {
  auto second = parse(R"(<velmaris creator="a"/><velmaris creator="b"></velmaris>)");
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(second->file.creator, "b");

  auto both = parse("<velmaris creator=\"a\" tag=\"t\"><channels>" + ch("a") +
                    "</channels></velmaris>\n<!-- between -->\n<velmaris creator=\"b\"><channels>" +
                    ch("b") + "</channels></velmaris>\n");
  ASSERT_TRUE(both) << both.error().message();
  EXPECT_EQ(both->file.creator, "b");
  EXPECT_FALSE(both->file.tag);
  ASSERT_EQ(both->channels.size(), 2U);
  EXPECT_EQ(both->channels[1].name, "b");
}

TEST(XmlDocument, TheBytesAreUtf8WhateverTheDeclarationSays) {
  for (const std::string_view encoding : {"UTF-16", "no-such-encoding"}) {
    auto result = parse("<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
                        "\"?><velmaris creator=\"\xC3\xA9\"></velmaris>");
    ASSERT_TRUE(result) << encoding << ": " << result.error().message();
    EXPECT_EQ(result->file.creator, "\xC3\xA9");
  }
  // Invalid sequences become U+FFFD, in values and in text.
  auto lossy = parse(
      "<velmaris creator=\"a\xFF"
      "b\xC3\">\xE2\x82</velmaris>");
  ASSERT_TRUE(lossy) << lossy.error().message();
  EXPECT_EQ(lossy->file.creator,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

// Each row: a document, then what is read from it ("channel NAME", "info NAME") followed
// by every log record.
TEST(XmlStates, ElementsAreReadOrSkippedByState) {
  const auto child = [](std::string_view name, std::string_view where = "of <velmaris>") {
    return "D meta_xml: QEL4 unknown child <" + std::string(name) + "> " + std::string(where) +
           "; skipped";
  };
  const auto empty = [](std::string_view name) {
    return "D meta_xml: QEL4 unknown empty <" + std::string(name) + "/> under <velmaris>; skipped";
  };
  const std::string in_channels = "inside <channels>";
  const std::vector<std::pair<std::string, Lines>> cases{
      // An unknown child of the root is skipped whole, channels included.
      {"<velmaris><extra><channels>" + ch("hidden") +
           "<channel index=\"bad\"/></channels></extra><channels>" + ch("seen") +
           "</channels></velmaris>",
       {"channel seen", child("extra")}},
      // Skipping ends at the first end tag of the same name without a nesting count
      // (so the <channels> in the outer <foo> is read); an empty <foo/> does not end it.
      {"<velmaris><foo><foo/><channel index=\"9\"/><foo></foo><channels>" + ch("inner") +
           "</channels></foo></velmaris>",
       {"channel inner", child("foo")}},
      // A <velmaris> inside the root is skipped up to its own end tag.
      {"<velmaris creator=\"outer\"><velmaris creator=\"inner\"></velmaris><channels>" + ch("a") +
           "</channels></velmaris>",
       {"channel a", child("velmaris")}},
      // A channel directly under the root is an unknown child; empty <infos/> and
      // <channels/> are not recorded.
      {"<velmaris>" + ch("a", "></channel>") + "<channel index=\"bad\"/></velmaris>",
       {child("channel"), empty("channel")}},
      {"<velmaris><infos/><channels a=\"1\"/><thing/></velmaris>", {empty("thing")}},
      // Inside <channels> and <infos> an unknown child is not skipped.
      {"<velmaris><channels><group>" + ch("a") + "</group><note/></channels></velmaris>",
       {"channel a", child("group", in_channels), child("note", in_channels)}},
      {"<velmaris><infos><group><info name=\"a\"/></group><x/><info name=\"b\"></info></infos>"
       "</velmaris>",
       {"info a", "info b", child("group", "inside <infos>"), child("x", "inside <infos>")}},
      // Nested channels are all read.
      {"<velmaris><channels>" + ch("outer", ">") + ch("inner") + "</channel></channels></velmaris>",
       {"channel outer", "channel inner"}},
      // An end tag changes the state by its name alone: </infos> inside <channels> brings
      // the reader back to "in the root".
      {"<velmaris><channels><infos></infos>" + ch("a") + "</channels></velmaris>",
       {child("infos", in_channels), empty("channel")}},
      // Several sections append.
      {"<velmaris><channels>" + ch("a") + ch("b") + "</channels><infos><info name=\"i1\"/>" +
           "</infos><channels>" + ch("c") + "</channels><infos><info name=\"i2\"/></infos>" +
           "</velmaris>",
       {"channel a", "channel b", "channel c", "info i1", "info i2"}},
      // A declared entity in attributes the reader does not read is never looked at.
      {"<!DOCTYPE velmaris [<!ENTITY foo \"bar\">]><velmaris><channels a=\"&foo;\">"
       "<x b=\"&foo;\"/></channels><skip c=\"&foo;\"/><other d=\"&foo;\"></other></velmaris>",
       {child("x", in_channels), empty("skip"), child("other")}},
  };
  for (const auto& [doc, expected] : cases) {
    SCOPED_TRACE(doc);
    const Captured captured;
    auto result = parse(doc);
    ASSERT_TRUE(result) << result.error().message();
    Lines seen;
    for (const auto& c : result->channels) seen.push_back("channel " + c.name);
    for (const auto& i : result->infos) seen.push_back("info " + i.name);
    for (auto& line : log_lines(captured)) seen.push_back(std::move(line));
    EXPECT_EQ(seen, expected);
  }
}

// ---------------------------------------------------------------------------
// What is read from accepted elements.

TEST(XmlRead, RootChannelAndInfoMembers) {
  const Captured captured;
  auto result =
      parse(R"(<velmaris created_utc="2020" creator="c" tag="" reason="r" namespacesep="::" )"
            R"(comment="x" created_at_latitude="48.5" created_at_longitude="-11" )"
            R"(created_at_altitude="1e3"><channels><channel index="+5" name="speed" )"
            R"(channeltype="matrix" datatype="gpslocation" sizeoflengthvalue="004" )"
            R"(timeincrement="+9223372036854775807" mimetype="m" physicalunit="km/h" )"
            R"(physicaldimension="v" displayname="Speed" comment="" reference="ref" )"
            R"(spectrumtype="ampphasedeg"/></channels><infos><info name="a"/><info name="b" )"
            R"(datatype="uint16" value="7" physicalunit="s" other="ignored"/></infos></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(describe(result->file),
            R"(created_utc="2020" creator="c" reason="r" tag="" comment="x" namespacesep="::" )"
            "latitude=48.5 longitude=-11 altitude=1000");
  ASSERT_EQ(result->channels.size(), 1U);
  EXPECT_EQ(describe(result->channels[0]),
            R"(index=5 name="speed" channeltype=matrix datatype=GpsLocation sizeoflengthvalue=4 )"
            R"(timeincrement=9223372036854775807 mimetype="m" physicalunit="km/h" )"
            R"(physicaldimension="v" displayname="Speed" comment="" reference="ref" )"
            "spectrumtype=ampphasedeg");
  ASSERT_EQ(result->infos.size(), 2U);
  EXPECT_EQ(describe(result->infos[0]), R"(name="a" value="" datatype=String)");
  EXPECT_EQ(describe(result->infos[1]), R"(name="b" value="7" datatype=UInt16 physicalunit="s")");
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(XmlRead, AlternativePositionReadOnlyWhenThePrimaryIsAbsent) {
  const Captured captured;
  auto result = parse(R"(<velmaris latitude="48.5" created_at_longitude="1" longitude="x" )"
                      R"(altitude="-3"></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(describe(result->file), "latitude=48.5 longitude=1 altitude=-3");
  EXPECT_EQ(log_lines(captured),
            (Lines{"D meta_xml: QEL4 velmaris/latitude accepted as alternative for "
                   "created_at_latitude; writers should emit the spec form",
                   "D meta_xml: QEL4 velmaris/altitude accepted as alternative for "
                   "created_at_altitude; writers should emit the spec form"}));
}

TEST(XmlLog, RecordsOfAcceptedDocuments) {
  const auto withdrawn = [](std::string_view key) {
    return "W meta_xml: QEL4 <channel name=\"x\"> carries deprecated attribute \"" +
           std::string(key) + "\" (removed in spec revision 2026-05-04); ignored";
  };
  const std::vector<std::pair<std::string, Lines>> cases{
      // Unknown attributes, a namespace declaration and a differently cased name included.
      {R"(<velmaris xmlns:q="urn:q" creator="c"><channels><channel index="1" name="x" )"
       R"(channeltype="scalar" datatype="int8" sizeoflengthvalue="2" Index="2"/>)"
       "</channels></velmaris>",
       {"D meta_xml: QEL4 <velmaris \"xmlns:q\"> attribute is not known to this build; ignored",
        "D meta_xml: QEL4 <channel name=\"x\"> attribute \"Index\" is not known to this build; "
        "ignored"}},
      // Withdrawn attributes warn in a fixed order.
      {good_channel(R"(physicaldimension3="" physicalunit1="u" offset="0" scale="1" )"
                    R"(physicalunit3="" physicaldimension1="" physicalunit2="" )"
                    R"(physicaldimension2="")"),
       {withdrawn("scale"), withdrawn("offset"), withdrawn("physicalunit1"),
        withdrawn("physicalunit2"), withdrawn("physicalunit3"), withdrawn("physicaldimension1"),
        withdrawn("physicaldimension2"), withdrawn("physicaldimension3")}},
      // The vocabulary's records go to its own target.
      {channel_doc(R"(index="1" name="x" channeltype="Scalar" datatype="bytearray" )"
                   R"(sizeoflengthvalue="2" spectrumtype="RealImag")"),
       {"W meta: channeltype \"Scalar\" is not a known QEL channel type; kept verbatim",
        "D meta: datatype \"bytearray\": read-side alias used, normalising to \"binary\"",
        "W meta: unknown spectrum type \"RealImag\"; defaulting to amplitude"}},
  };
  for (const auto& [doc, records] : cases) {
    SCOPED_TRACE(doc);
    const Captured captured;
    ASSERT_TRUE(parse(doc));
    EXPECT_EQ(log_lines(captured), records);
  }
}

// ---------------------------------------------------------------------------
// Attribute values.

TEST(XmlAttributes, PredefinedEntitiesAndCharacterReferences) {
  auto result = parse(
      "<velmaris creator=\"a&amp;b&lt;&gt;&quot;&apos;&#65;&#x42;&#x20ac;&#x1F600;&#233;\" "
      "comment='it&apos;s \"q\"' tag=\"tab\there&#10;nl\"></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, "a&b<>\"'AB\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(result->file.comment, "it's \"q\"");
  // No whitespace normalisation: values are the written text, unescaped.
  EXPECT_EQ(result->file.tag, "tab\there\nnl");
}

TEST(XmlAttributes, CollectAttrsOnItsOwn) {
  using qel::meta_xml::collect_attrs;
  auto attrs = collect_attrs("<channel  a = \"1\"\tb='x&lt;y' c=\"\" />");
  ASSERT_TRUE(attrs) << attrs.error().message();
  EXPECT_EQ(*attrs, (qel::meta_xml::Attributes{{"a", "1"}, {"b", "x<y"}, {"c", ""}}));
  auto none = collect_attrs("<velmaris>");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  const std::string parse_error = "attribute parse error: ";
  const std::string unescape = "attribute unescape error: ";
  for (const auto& [tag, message] : std::vector<std::pair<std::string_view, std::string>>{
           {"<a x=\"1\" x=\"2\">", parse_error + "duplicate attribute x at line 1, column 10"},
           {"<a x>", parse_error + "attribute x has no value at line 1, column 4"},
           {"<a x=1>", parse_error + "value of attribute x is not quoted at line 1, column 6"},
           {"<a x=\"1>", parse_error + "unterminated value of attribute x at line 1, column 6"},
           {"<a x=\"1\"/ >", parse_error + "'/' not followed by '>' at line 1, column 9"},
           {"<a x=\"&nbsp;\">",
            unescape + "entity reference &nbsp; is not one of the predefined entities (lt, gt, "
                       "amp, apos, quot) in attribute x at line 1, column 7"},
           {"<a x=\"&amp\">",
            unescape + "unterminated reference in attribute x at line 1, column 7"},
           {"<a x=\"&#0;\">",
            unescape + "invalid character reference &#0; in attribute x at line 1, column 7"},
           {"<a x=\"&#xDFFF;\">",
            unescape + "invalid character reference &#xDFFF; in attribute x at line 1, column 7"},
           {"<a x=\"&#x110000;\">",
            unescape + "invalid character reference &#x110000; in attribute x at line 1, column 7"},
           {"<a x=\"&#x1g;\">",
            unescape + "invalid character reference &#x1g; in attribute x at line 1, column 7"}}) {
    auto result = collect_attrs(tag);
    ASSERT_FALSE(result) << tag;
    EXPECT_EQ(result.error().message(), xml_error(message));
  }
}

// ---------------------------------------------------------------------------
// Hostile documents.

// An XXE attempt naming a FIFO: a parser that opened the file to read it would
// block in open() until a writer appears. The parse runs on another thread and
// must finish on its own; if it hangs, the test opens the writer end itself to
// release it and fails.
TEST(XmlHostile, ExternalEntityNamingALocalFileIsNeverRead) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qel_xxe_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto fifo = dir / "secret.fifo";
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto secret_file = dir / "secret.txt";
  { std::ofstream(secret_file) << "TOP-SECRET-CONTENT"; }

  const std::string entity = "<!DOCTYPE velmaris [<!ENTITY xxe SYSTEM \"";
  // (document, refused)
  const std::vector<std::pair<std::string, bool>> documents{
      // In a read attribute: refused by the parser (no external entity in attributes).
      {entity + fifo.string() + "\">]><velmaris creator=\"&xxe;\"></velmaris>", true},
      {entity + "file://" + secret_file.string() + "\">]><velmaris creator=\"&xxe;\"></velmaris>",
       true},
      // In content: passed through unexpanded and ignored.
      {entity + fifo.string() + "\">]><velmaris creator=\"c\">&xxe;<channels>&xxe;</channels>" +
           "</velmaris>",
       false},
      // As external DTD and parameter entity: never loaded.
      {"<!DOCTYPE velmaris SYSTEM \"" + fifo.string() + "\"><velmaris creator=\"c\"></velmaris>",
       false},
      {"<!DOCTYPE velmaris [<!ENTITY % p SYSTEM \"" + fifo.string() +
           "\"> %p;]><velmaris creator=\"c\"></velmaris>",
       false},
  };
  for (const auto& [doc, refused] : documents) {
    SCOPED_TRACE(doc);
    auto future = std::async(std::launch::async, [doc = doc] { return parse(doc); });
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd >= 0) ::close(fd);
      ADD_FAILURE() << "the parse opened the FIFO";
      future.wait();
      continue;
    }
    auto result = future.get();
    if (refused) {
      ASSERT_FALSE(result);
      EXPECT_TRUE(result.error().message().starts_with(xml_error("attribute unescape error: ")))
          << result.error().message();
      EXPECT_EQ(result.error().message().find("TOP-SECRET"), std::string::npos);
    } else {
      ASSERT_TRUE(result) << result.error().message();
      EXPECT_EQ(result->file.creator, "c");
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(XmlHostile, BillionLaughsCostsNothing) {
  // Fully expanded, lol12 would be 3 * 10^13 bytes.
  std::string dtd = "<!DOCTYPE velmaris [<!ENTITY lol0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 12; ++i) {
    dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) dtd += "&lol" + std::to_string(i - 1) + ";";
    dtd += "\">";
  }
  dtd += "]>";
  const long rss_before = max_rss_kib();
  const auto start = std::chrono::steady_clock::now();

  // Declared only: no element, an empty model.
  auto declared = parse(dtd);
  ASSERT_TRUE(declared) << declared.error().message();
  EXPECT_TRUE(empty_model(*declared));
  // Referenced in content: not expanded, ignored.
  auto content =
      parse(dtd + "<velmaris creator=\"c\">&lol12;<channels>&lol12;</channels></velmaris>");
  ASSERT_TRUE(content) << content.error().message();
  EXPECT_EQ(content->file.creator, "c");
  // Referenced in a read attribute: fails.
  auto attribute = parse(dtd + "<velmaris creator=\"&lol12;\"></velmaris>");
  ASSERT_FALSE(attribute);
  EXPECT_TRUE(attribute.error().message().starts_with(xml_error("attribute unescape error: ")))
      << attribute.error().message();
  // Referenced in an attribute the reader does not read: the parser's
  // amplification limit ends it early.
  auto unread = parse(dtd + "<velmaris><channels a=\"&lol12;\"></channels></velmaris>");
  ASSERT_FALSE(unread);
  EXPECT_EQ(unread.error().kind(), ErrorKind::MetablockXml);

  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_LT(max_rss_kib() - rss_before, 64 * 1024) << "peak memory grew by more than 64 MiB";
}

TEST(XmlHostile, ParallelParsesOnSeveralThreads) {
  const std::string doc = "<?xml version=\"1.0\"?><velmaris creator=\"c\"><channels>" + ch("a") +
                          "</channels></velmaris>";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto ok = parse(doc);
        if (!ok || ok->channels.size() != 1) ++failures;
        if (parse("<velmaris></other>")) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
