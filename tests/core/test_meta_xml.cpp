// The version-4 XML metablock reader.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qel/log.hpp"
#include "qel/meta.hpp"
#include "qel/meta_xml.hpp"
#include "qel/xml_number.hpp"
#include "test_support.hpp"

namespace {

using qel::test::max_rss_kib;

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::log::Level;
using qel::test::bytes_of;
using qel::test::Captured;
using qel::test::invalid;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_xml(bytes_of(text));
}

std::string error_of(std::string_view text) {
  auto result = parse(text);
  if (result) return "<no error>";
  return result.error().message();
}

constexpr std::string_view kXmlPrefix = "QEL4 metablock XML parse error: ";

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A document with one channel inside <channels>.
std::string channel_doc(std::string_view attributes) {
  return "<velmaris><channels><channel " + std::string(attributes) + "/></channels></velmaris>";
}

constexpr std::string_view kGood =
    R"(index="1" name="x" channeltype="scalar" datatype="double" sizeoflengthvalue="2")";

std::string good_channel(std::string_view more = {}) {
  return channel_doc(std::string(kGood) + " " + std::string(more));
}

constexpr std::string_view kXml = qel::log::kMetaXml;
constexpr std::string_view kMeta = qel::log::kMeta;

bool empty_model(const MetaBlock& block) {
  const auto& f = block.file;
  return block.format_version == 4 && block.channels.empty() && block.infos.empty() &&
         !f.created_utc && !f.creator && !f.reason && !f.tag && !f.comment && !f.namespacesep &&
         !f.created_at_latitude && !f.created_at_longitude && !f.created_at_altitude;
}

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

TEST(XmlNumber, SignedMessages) {
  using qel::xml_number::parse_i64;
  for (const auto& [text, value] : std::vector<std::pair<std::string_view, std::int64_t>>{
           {"0", 0},
           {"+12", 12},
           {"-12", -12},
           {"007", 7},
           {"9223372036854775807", INT64_MAX},
           {"-9223372036854775808", INT64_MIN}}) {
    EXPECT_EQ(parse_i64(text), value) << text;
  }
  EXPECT_EQ(parse_i64("").error(), "cannot parse integer from empty string");
  for (const std::string_view bad : {"+", "-", "1.5", " 1", "1 ", "1e3", "--1", "+-1", "x"}) {
    EXPECT_EQ(parse_i64(bad).error(), "invalid digit found in string") << bad;
  }
  EXPECT_EQ(parse_i64("9223372036854775808").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_i64("-9223372036854775809").error(), "number too small to fit in target type");
  // Scanning from the left: the overflow comes before the bad digit.
  EXPECT_EQ(parse_i64("99999999999999999999x").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_i64("9x9999999999999999999").error(), "invalid digit found in string");
}

TEST(XmlNumber, Float) {
  using qel::xml_number::parse_f64;
  for (const auto& [text, value] : std::vector<std::pair<std::string_view, double>>{
           {"48.5", 48.5},
           {"+48.5", 48.5},
           {"-0.25", -0.25},
           {"5.", 5.0},
           {".5", 0.5},
           {"-.5", -0.5},
           {"1e3", 1000.0},
           {"1E+3", 1000.0},
           {"2.5e-1", 0.25},
           {"007", 7.0},
           {"inf", INFINITY},
           {"-Infinity", -INFINITY},
           {"+INF", INFINITY},
           {"1e400", INFINITY},
           {"-1e400", -INFINITY},
           {"1e-400", 0.0},
           {"4.9e-324", 4.9e-324},
           {"0.0000000000000000000000000000000001e-300", 0.0}}) {
    EXPECT_EQ(parse_f64(text), value) << text;
  }
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

std::vector<std::pair<std::string, std::string>> error_cases() {
  const std::string root = "QEL4 root element must be <velmaris>, got ";
  const std::string base = R"(index="1" name="x" channeltype="scalar" datatype="double" )";
  std::vector<std::pair<std::string, std::string>> cases{
      {"<root></root>", invalid(root + "<root>")},
      {"<Velmaris></Velmaris>", invalid(root + "<Velmaris>")},
      // A namespace prefix makes the name different.
      {R"(<q:velmaris xmlns:q="urn:q"></q:velmaris>)", invalid(root + "<q:velmaris>")},
      {R"(<velmaris latitude="north"></velmaris>)",
       invalid("<velmaris latitude=\"north\"> is not a valid float: invalid float literal")},
      {R"(<velmaris created_at_latitude="north"></velmaris>)",
       invalid("<velmaris created_at_latitude=\"north\"> is not a float: invalid float literal")},
      {R"(<velmaris created_at_altitude=""></velmaris>)",
       invalid("<velmaris created_at_altitude=\"\"> is not a float: cannot parse float from "
               "empty string")},
      // Order: the three primary attributes first, then the alternatives.
      {R"(<velmaris latitude="a" created_at_altitude="b"></velmaris>)",
       invalid("<velmaris created_at_altitude=\"b\"> is not a float: invalid float literal")},
      {R"(<velmaris longitude="a" created_at_latitude="b"></velmaris>)",
       invalid("<velmaris created_at_latitude=\"b\"> is not a float: invalid float literal")},
      {R"(<velmaris altitude="a" longitude="b"></velmaris>)",
       invalid("<velmaris longitude=\"b\"> is not a valid float: invalid float literal")},
      // Required channel attributes, in the order they are checked.
      {channel_doc(""),
       invalid("QEL4 <channel> at position 0 is missing required attribute index")},
      {channel_doc(R"(name="x")"),
       invalid("QEL4 <channel> at position 0 is missing required attribute index")},
      {channel_doc(R"(index="7" datatype="pair")"),
       invalid("QEL4 <channel index=7> is missing required attribute name")},
      {channel_doc(R"(index="7" name="a&quot;b" datatype="pair")"),
       invalid("QEL4 <channel name=\"a\\\"b\"> is missing required attribute channeltype")},
      {channel_doc(R"(index="7" name="n" channeltype="scalar" sizeoflengthvalue="x")"),
       invalid("QEL4 <channel name=\"n\"> is missing required attribute datatype")},
      {channel_doc(R"(index="7" name="n" channeltype="scalar" datatype="int8" timeincrement="x")"),
       invalid("QEL4 <channel name=\"n\"> is missing required attribute sizeoflengthvalue")},
      // The removed data type comes before the length-field width.
      {channel_doc(
           R"(index="7" name="n" channeltype="scalar" datatype="candata" sizeoflengthvalue="x")"),
       "field \"datatype\" uses \"candata\", removed in spec revision 2026-05-04 \xE2\x80\x94 "
       "replacement: \"binary with an application-specific MIME type\""},
      {"<velmaris><infos><info value=\"v\"/></infos></velmaris>",
       invalid("QEL4 <info> is missing name")},
  };
  for (const std::string_view index : {"-1", "65536", "", "5 ", " 5", "1.0", "0x1", "-0"}) {
    cases.emplace_back(channel_doc("index=\"" + std::string(index) + "\""),
                       invalid("QEL4 <channel> at position 0 has index=\"" + std::string(index) +
                               "\" out of range"));
  }
  for (const std::string_view width : {"four", "4294967296", "-2"}) {
    cases.emplace_back(channel_doc(base + "sizeoflengthvalue=\"" + std::string(width) + "\""),
                       invalid("QEL4 <channel name=\"x\"> has sizeoflengthvalue=\"" +
                               std::string(width) + "\" (not numeric)"));
  }
  for (const std::string_view width : {"3", "4294967295"}) {
    cases.emplace_back(channel_doc(base + "sizeoflengthvalue=\"" + std::string(width) + "\""),
                       invalid("sizeoflengthvalue must be 2 or 4, got " + std::string(width)));
  }
  for (const auto& [value, reason] : std::vector<std::pair<std::string_view, std::string_view>>{
           {"1.5", "invalid digit found in string"},
           {"", "cannot parse integer from empty string"},
           {"-", "invalid digit found in string"},
           {"9223372036854775808", "number too large to fit in target type"},
           {"-9223372036854775809", "number too small to fit in target type"}}) {
    cases.emplace_back(good_channel("timeincrement=\"" + std::string(value) + "\""),
                       invalid("attribute timeincrement=\"" + std::string(value) +
                               "\" is not an int: " + std::string(reason)));
  }
  return cases;
}

TEST(XmlErrors, EveryRefusalHasItsMessage) {
  for (const auto& [doc, message] : error_cases()) {
    EXPECT_EQ(error_of(doc), message) << doc;
  }
}

TEST(XmlErrors, AcceptedNumberEdges) {
  auto plus = parse(channel_doc(
      R"(index="+5" name="x" channeltype="scalar" datatype="double" sizeoflengthvalue="2" )"
      R"(timeincrement="+9223372036854775807")"));
  ASSERT_TRUE(plus) << plus.error().message();
  EXPECT_EQ(plus->channels[0].index, 5);
  EXPECT_EQ(plus->channels[0].timeincrement, INT64_MAX);
  auto removed = parse(channel_doc(
      R"(index="7" name="n" channeltype="scalar" datatype="candata" sizeoflengthvalue="2")"));
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::RemovedField);
}

// ---------------------------------------------------------------------------
// Documents without a root, the empty-element root, several top-level elements.

TEST(XmlDocument, NoElementGivesAnEmptyModel) {
  for (const std::string_view text :
       {"", "   \n\t", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
        "<?xml version=\"1.0\"?>\n<!-- only a comment -->\n", "<!-- c --><?pi target?><!-- d -->",
        "<!DOCTYPE velmaris>",
        "<!DOCTYPE velmaris [<!ENTITY e \"x\"><!ELEMENT velmaris ANY>]>\n<!-- c -->",
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>"}) {
    const Captured captured;
    auto result = parse(text);
    ASSERT_TRUE(result) << text << ": " << result.error().message();
    EXPECT_TRUE(empty_model(*result)) << text;
    EXPECT_TRUE(captured.sink.records.empty());
  }
}

TEST(XmlDocument, EmptyElementRootIsIgnored) {
  auto empty = parse(R"(<velmaris creator="x"/>)");
  ASSERT_TRUE(empty) << empty.error().message();
  EXPECT_TRUE(empty_model(*empty));
  // Its attributes are not read: a bad number does not fail.
  ASSERT_TRUE(parse(R"(<velmaris created_at_latitude="north"/>)"));
  auto full = parse(R"(<velmaris creator="x"></velmaris>)");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->file.creator, "x");
  // Any empty element before the root is ignored, whatever its name.
  auto other = parse(R"(<other a="1"/>)");
  ASSERT_TRUE(other);
  EXPECT_TRUE(empty_model(*other));
}

TEST(XmlDocument, AfterTheRootEndTagTheReaderIsBackBeforeTheRoot) {
  // An empty root, then a real one.
  auto second = parse(R"(<velmaris creator="a"/><velmaris creator="b"></velmaris>)");
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(second->file.creator, "b");

  // Two roots: the second one's attributes replace the file information, and
  // the channels of both are appended.
  auto both = parse(
      "<velmaris creator=\"a\" tag=\"t\"><channels><channel index=\"1\" name=\"a\" "
      "channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"/></channels></velmaris>\n"
      "<!-- between -->\n"
      "<velmaris creator=\"b\"><channels><channel index=\"2\" name=\"b\" "
      "channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"/></channels></velmaris>\n");
  ASSERT_TRUE(both) << both.error().message();
  EXPECT_EQ(both->file.creator, "b");
  EXPECT_FALSE(both->file.tag);
  ASSERT_EQ(both->channels.size(), 2U);
  EXPECT_EQ(both->channels[1].name, "b");

  // Before the root again, an empty element is ignored and a start tag of
  // another name fails.
  ASSERT_TRUE(parse("<velmaris></velmaris><other/>  "));
  EXPECT_EQ(error_of("<velmaris></velmaris><other></other>"),
            invalid("QEL4 root element must be <velmaris>, got <other>"));
}

TEST(XmlDocument, EncodingIsUtf8WhateverTheDeclarationSays) {
  auto latin = parse(
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
      "<velmaris creator=\"\xC3\xA9\"></velmaris>");
  ASSERT_TRUE(latin) << latin.error().message();
  EXPECT_EQ(latin->file.creator, "\xC3\xA9");
  auto utf16 = parse(
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
      "<velmaris creator=\"\xC3\xA9\"></velmaris>");
  ASSERT_TRUE(utf16) << utf16.error().message();
  EXPECT_EQ(utf16->file.creator, "\xC3\xA9");
  auto unknown = parse(
      "<?xml version=\"1.0\" encoding=\"no-such-encoding\"?>"
      "<velmaris creator=\"ok\"></velmaris>");
  ASSERT_TRUE(unknown) << unknown.error().message();
  EXPECT_EQ(unknown->file.creator, "ok");
  // Invalid sequences become U+FFFD (in values and text; Expat does not take
  // U+FFFD as a name character, so in a name it is the parser's error).
  auto lossy = parse(
      "<velmaris creator=\"a\xFF"
      "b\xC3\">\xE2\x82</velmaris>");
  ASSERT_TRUE(lossy) << lossy.error().message();
  EXPECT_EQ(lossy->file.creator,
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  auto name = parse("<velmaris x\xC3=\"1\"></velmaris>");
  ASSERT_FALSE(name);
  EXPECT_EQ(name.error().kind(), ErrorKind::MetablockXml);
}

TEST(XmlDocument, ParserErrorsPassThroughWithThePrefix) {
  for (const std::string_view text :
       {"<velmaris></other>", "<velmaris><channels></velmaris>", "<velmaris", "text only",
        "<velmaris a=\"1\" a=\"2\"><channels/></velmaris><velmaris><x y=1/></velmaris>",
        "<velmaris><channels>"}) {
    auto result = parse(text);
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockXml) << text;
    EXPECT_TRUE(starts_with(result.error().message(), kXmlPrefix)) << result.error().message();
    EXPECT_NE(result.error().message().find(" at line "), std::string::npos);
  }
  EXPECT_EQ(error_of("<velmaris>\n  </other>"),
            std::string(kXmlPrefix) + "mismatched tag at line 2, column 5");
}

// ---------------------------------------------------------------------------
// Element states.

// A channel element named `name` with every required attribute.
std::string ch(std::string_view name, std::string_view close = "/>") {
  return "<channel index=\"1\" name=\"" + std::string(name) +
         "\" channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"" + std::string(close);
}

struct StateCase {
  std::string doc;
  std::vector<std::string> channels;  // names of the channels read
  std::vector<std::string> debug;     // the reader's debug records
};

TEST(XmlStates, ElementsAreReadOrSkippedByState) {
  const std::vector<StateCase> cases{
      // An unknown child of the root is skipped whole, channels included.
      {"<velmaris><extra><channels>" + ch("hidden") +
           "<channel index=\"bad\"/></channels></extra><channels>" + ch("seen") +
           "</channels></velmaris>",
       {"seen"},
       {"QEL4 unknown child <extra> of <velmaris>; skipped"}},
      // Skipping ends at the first end tag of the same name without a nesting
      // count (so the <channels> in the outer <foo> is read); an empty <foo/>
      // does not end it.
      {"<velmaris><foo><foo/><channel index=\"9\"/><foo></foo><channels>" + ch("inner") +
           "</channels></foo></velmaris>",
       {"inner"},
       {"QEL4 unknown child <foo> of <velmaris>; skipped"}},
      // A channel directly under the root is an unknown child.
      {"<velmaris>" + ch("a", "></channel>") + "<channel index=\"bad\"/></velmaris>",
       {},
       {"QEL4 unknown child <channel> of <velmaris>; skipped",
        "QEL4 unknown empty <channel/> under <velmaris>; skipped"}},
      {"<velmaris><infos/><channels a=\"1\"/><thing/></velmaris>",
       {},
       {"QEL4 unknown empty <thing/> under <velmaris>; skipped"}},
      // Inside <channels> an unknown child is not skipped.
      {"<velmaris><channels><group>" + ch("a") + "</group><note/></channels></velmaris>",
       {"a"},
       {"QEL4 unknown child <group> inside <channels>; skipped",
        "QEL4 unknown child <note> inside <channels>; skipped"}},
      // Nested channels are all read.
      {"<velmaris><channels>" + ch("outer", ">") + ch("inner") + "</channel></channels></velmaris>",
       {"outer", "inner"},
       {}},
      // An end tag changes the state by its name alone: </infos> inside
      // <channels> brings the reader back to "in the root".
      {"<velmaris><channels><infos></infos>" + ch("a") + "</channels></velmaris>",
       {},
       {"QEL4 unknown child <infos> inside <channels>; skipped",
        "QEL4 unknown empty <channel/> under <velmaris>; skipped"}},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.doc);
    const Captured captured;
    auto result = parse(row.doc);
    ASSERT_TRUE(result) << result.error().message();
    std::vector<std::string> names;
    for (const auto& c : result->channels) names.push_back(c.name);
    EXPECT_EQ(names, row.channels);
    EXPECT_EQ(captured.messages(Level::Debug, kXml), row.debug);
  }
  // And </velmaris> inside <channels> brings it back before the root.
  EXPECT_EQ(error_of("<velmaris><channels><velmaris></velmaris><channel></channel></channels>"
                     "</velmaris>"),
            invalid("QEL4 root element must be <velmaris>, got <channel>"));
}

TEST(XmlStates, SkippedElementNamedVelmarisEndsAtItsOwnEndTag) {
  auto result =
      parse("<velmaris creator=\"outer\"><velmaris creator=\"inner\"></velmaris><channels>" +
            ch("a") + "</channels></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, "outer");
  EXPECT_EQ(result->channels.size(), 1U);
}

TEST(XmlStates, UndefinedEntityInAnEmptyElementIsTheParsersError) {
  auto result = parse("<velmaris><infos/><channels x=\"&undefined;\"/><thing/></velmaris>");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::MetablockXml);
  EXPECT_FALSE(starts_with(result.error().message(),
                           std::string(kXmlPrefix) + "attribute unescape error: "));
}

TEST(XmlStates, UnknownChildInsideInfosIsNotSkipped) {
  const Captured captured;
  auto result = parse(
      "<velmaris><infos><group><info name=\"a\"/></group><x/><info name=\"b\"></info></infos>"
      "</velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->infos.size(), 2U);
  EXPECT_EQ(result->infos[1].name, "b");
  EXPECT_EQ(captured.messages(Level::Debug, kXml),
            (std::vector<std::string>{"QEL4 unknown child <group> inside <infos>; skipped",
                                      "QEL4 unknown child <x> inside <infos>; skipped"}));
}

TEST(XmlStates, SeveralSectionsAppendAndPositionCountsAcrossThem) {
  const std::string ch = "channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"";
  auto result = parse("<velmaris><channels><channel index=\"1\" name=\"a\" " + ch +
                      "/><channel index=\"2\" name=\"b\" " + ch +
                      "/></channels><infos><info name=\"i1\"/></infos><channels><channel "
                      "index=\"3\" name=\"c\" " +
                      ch +
                      "/></channels><infos><info name=\"i2\"/>"
                      "</infos></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->channels.size(), 3U);
  EXPECT_EQ(result->channels[2].name, "c");
  ASSERT_EQ(result->infos.size(), 2U);
  EXPECT_EQ(result->infos[1].name, "i2");

  // The third channel of the second section, after two in the first: position 4.
  EXPECT_EQ(error_of("<velmaris><channels><channel index=\"1\" name=\"a\" " + ch +
                     "/><channel index=\"2\" name=\"b\" " + ch +
                     "/></channels><channels><channel index=\"3\" name=\"c\" " + ch +
                     "/><channel index=\"4\" name=\"d\" " + ch +
                     "/><channel name=\"e\"/></channels></velmaris>"),
            invalid("QEL4 <channel> at position 4 is missing required attribute index"));
}

TEST(XmlStates, EofWhileSkipping) {
  auto result = parse("<velmaris><foo><bar></bar>");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::InvalidMetablock);
  EXPECT_EQ(result.error().message(), invalid("QEL4 unexpected EOF while skipping <foo>"));
  // Truncated inside a tag: the parser's error.
  auto cut = parse("<velmaris><foo><bar");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().kind(), ErrorKind::MetablockXml);
}

// ---------------------------------------------------------------------------
// Root attributes.

TEST(XmlRoot, TextAndPositionAttributes) {
  const Captured captured;
  auto result =
      parse(R"(<velmaris created_utc="2020" creator="c" tag="" reason="r" namespacesep="::" )"
            R"(comment="x" created_at_latitude="48.5" created_at_longitude="-11" )"
            R"(created_at_altitude="1e3"></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  const auto& f = result->file;
  EXPECT_EQ(f.created_utc, "2020");
  EXPECT_EQ(f.creator, "c");
  EXPECT_EQ(f.tag, "");
  EXPECT_EQ(f.reason, "r");
  EXPECT_EQ(f.namespacesep, "::");
  EXPECT_EQ(f.comment, "x");
  EXPECT_EQ(f.created_at_latitude, 48.5);
  EXPECT_EQ(f.created_at_longitude, -11.0);
  EXPECT_EQ(f.created_at_altitude, 1000.0);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(XmlRoot, AlternativePositionAttributes) {
  const Captured captured;
  auto result = parse(R"(<velmaris latitude="48.5" created_at_longitude="1" longitude="x" )"
                      R"(altitude="-3"></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.created_at_latitude, 48.5);
  EXPECT_EQ(result->file.created_at_longitude, 1.0);
  EXPECT_EQ(result->file.created_at_altitude, -3.0);
  EXPECT_EQ(captured.messages(Level::Debug, kXml),
            (std::vector<std::string>{
                "QEL4 velmaris/latitude accepted as alternative for created_at_latitude; writers "
                "should emit the spec form",
                "QEL4 velmaris/altitude accepted as alternative for created_at_altitude; writers "
                "should emit the spec form"}));
}

TEST(XmlRoot, UnknownAttributesAreDebugRecords) {
  const Captured captured;
  ASSERT_TRUE(parse(R"(<velmaris version="4" xmlns:q="urn:q" creator="c"></velmaris>)"));
  auto records = captured.messages(Level::Debug, kXml);
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records,
            (std::vector<std::string>{
                "QEL4 <velmaris \"version\"> attribute is not known to this build; ignored",
                "QEL4 <velmaris \"xmlns:q\"> attribute is not known to this build; ignored"}));
}

// ---------------------------------------------------------------------------
// Channels.

TEST(XmlChannel, FullChannel) {
  const Captured captured;
  auto result = parse(channel_doc(
      R"(index="+5" name="speed" channeltype="matrix" datatype="gpslocation" )"
      R"(sizeoflengthvalue="004" timeincrement="-1000" mimetype="m" physicalunit="km/h" )"
      R"(physicaldimension="v" displayname="Speed" comment="" reference="ref" )"
      R"(spectrumtype="ampphasedeg")"));
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->channels.size(), 1U);
  const auto& c = result->channels[0];
  EXPECT_EQ(c.index, 5);
  EXPECT_EQ(c.name, "speed");
  EXPECT_EQ(c.channeltype, qel::ChannelType(qel::ChannelTypeId::Matrix));
  EXPECT_EQ(c.datatype, qel::DataType(qel::DataTypeId::GpsLocation));
  EXPECT_EQ(c.sizeoflengthvalue, 4);
  EXPECT_EQ(c.timeincrement, -1000);
  EXPECT_EQ(c.mimetype, "m");
  EXPECT_EQ(c.physicalunit, "km/h");
  EXPECT_EQ(c.physicaldimension, "v");
  EXPECT_EQ(c.displayname, "Speed");
  EXPECT_EQ(c.comment, "");
  EXPECT_EQ(c.reference, "ref");
  EXPECT_EQ(c.spectrumtype, qel::SpectrumType::AmpPhaseDeg);
  EXPECT_TRUE(captured.sink.records.empty());
}

TEST(XmlChannel, WithdrawnAttributesWarnInFixedOrder) {
  const Captured captured;
  ASSERT_TRUE(parse(good_channel(
      R"(physicaldimension3="" physicalunit1="u" offset="0" scale="1" physicalunit3="" )"
      R"(physicaldimension1="" physicalunit2="" physicaldimension2="")")));
  std::vector<std::string> expected;
  for (const std::string_view key :
       {"scale", "offset", "physicalunit1", "physicalunit2", "physicalunit3", "physicaldimension1",
        "physicaldimension2", "physicaldimension3"}) {
    expected.push_back("QEL4 <channel name=\"x\"> carries deprecated attribute \"" +
                       std::string(key) + "\" (removed in spec revision 2026-05-04); ignored");
  }
  EXPECT_EQ(captured.messages(Level::Warn, kXml), expected);
  EXPECT_TRUE(captured.messages(Level::Debug, kXml).empty());
}

TEST(XmlChannel, UnknownAttributesAreDebugRecords) {
  const Captured captured;
  ASSERT_TRUE(parse(good_channel(R"(Index="2" unit="V")")));
  auto records = captured.messages(Level::Debug, kXml);
  std::sort(records.begin(), records.end());
  EXPECT_EQ(
      records,
      (std::vector<std::string>{
          "QEL4 <channel name=\"x\"> attribute \"Index\" is not known to this build; ignored",
          "QEL4 <channel name=\"x\"> attribute \"unit\" is not known to this build; ignored"}));
}

TEST(XmlChannel, VocabularyRecordsGoToMeta) {
  const Captured captured;
  auto result = parse(channel_doc(
      R"(index="1" name="x" channeltype="Scalar" datatype="bytearray" sizeoflengthvalue="2" )"
      R"(spectrumtype="RealImag")"));
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->channels[0].datatype, qel::DataType(qel::DataTypeId::Binary));
  EXPECT_EQ(result->channels[0].channeltype, qel::ChannelType::other("Scalar"));
  EXPECT_EQ(result->channels[0].spectrumtype, qel::SpectrumType::Amplitude);
  EXPECT_EQ(captured.messages(Level::Warn, kMeta).size(), 2U);
  EXPECT_EQ(captured.messages(Level::Debug, kMeta).size(), 1U);
}

// ---------------------------------------------------------------------------
// Infos.

TEST(XmlInfo, RequiredNameAndDefaults) {
  EXPECT_EQ(error_of("<velmaris><infos><info value=\"v\"/></infos></velmaris>"),
            invalid("QEL4 <info> is missing name"));
  const Captured captured;
  auto result = parse(
      "<velmaris><infos><info name=\"a\"/><info name=\"b\" datatype=\"uint16\" value=\"7\" "
      "physicalunit=\"s\" other=\"ignored\"/></infos></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  ASSERT_EQ(result->infos.size(), 2U);
  EXPECT_EQ(result->infos[0].datatype, qel::DataType(qel::DataTypeId::String));
  EXPECT_EQ(result->infos[0].value, "");
  EXPECT_FALSE(result->infos[0].physicalunit);
  EXPECT_EQ(result->infos[1].datatype, qel::DataType(qel::DataTypeId::UInt16));
  EXPECT_EQ(result->infos[1].value, "7");
  EXPECT_EQ(result->infos[1].physicalunit, "s");
  EXPECT_TRUE(captured.sink.records.empty());
  auto removed =
      parse("<velmaris><infos><info name=\"a\" datatype=\"triple\"/></infos></velmaris>");
  ASSERT_FALSE(removed);
  EXPECT_EQ(removed.error().kind(), ErrorKind::RemovedField);
}

// ---------------------------------------------------------------------------
// Attributes and entities.

TEST(XmlAttributes, PredefinedEntitiesAndCharacterReferences) {
  auto result = parse(
      "<velmaris creator=\"a&amp;b&lt;&gt;&quot;&apos;&#65;&#x42;&#x1F600;&#233;\" "
      "comment='it&apos;s \"q\"' tag=\"tab\there&#10;nl\"></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(result->file.creator, "a&b<>\"'AB\xF0\x9F\x98\x80\xC3\xA9");
  EXPECT_EQ(result->file.comment, "it's \"q\"");
  // No whitespace normalisation: values are the written text, unescaped.
  EXPECT_EQ(result->file.tag, "tab\there\nnl");
}

TEST(XmlAttributes, DeclaredEntityInAReadAttributeStillFails) {
  auto result = parse(
      "<!DOCTYPE velmaris [<!ENTITY foo \"bar\">]>\n<velmaris creator=\"x&foo;\"></velmaris>");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            std::string(kXmlPrefix) +
                "attribute unescape error: entity reference &foo; is not one of the predefined "
                "entities (lt, gt, amp, apos, quot) in attribute creator at line 2, column 21");
}

TEST(XmlAttributes, BadAttributesFailWithTheReadersPrefix) {
  const std::string unescape = std::string(kXmlPrefix) + "attribute unescape error: ";
  const std::string malformed = std::string(kXmlPrefix) + "attribute parse error: ";
  std::vector<std::pair<std::string, std::string>> cases{
      // An undefined entity in a read attribute, wherever it is read.
      {"<velmaris creator=\"&foo;\"></velmaris>", unescape},
      {"<velmaris><channels><channel name=\"&foo;\"/></channels></velmaris>", unescape},
      {"<velmaris><infos><info name=\"a&foo;b\"></info></infos></velmaris>", unescape},
      // With an external subset the parser skips undeclared entities; the reader does not.
      {"<!DOCTYPE velmaris SYSTEM \"x.dtd\"><velmaris><channels><channel index=\"&n;\"/>"
       "</channels></velmaris>",
       unescape},
      {"<velmaris creator=\"a\" creator=\"b\"></velmaris>", malformed},
      {"<velmaris><channels><channel index=1/></channels></velmaris>", malformed},
  };
  for (const std::string_view value : {"&#0;", "&#xD800;", "&#x110000;", "a & b", "&#xZZ;", "&;"}) {
    cases.emplace_back("<velmaris creator=\"" + std::string(value) + "\"></velmaris>", unescape);
  }
  for (const auto& [doc, prefix] : cases) {
    auto result = parse(doc);
    ASSERT_FALSE(result) << doc;
    EXPECT_EQ(result.error().kind(), ErrorKind::MetablockXml) << doc;
    EXPECT_TRUE(starts_with(result.error().message(), prefix)) << result.error().message();
  }
}

TEST(XmlAttributes, DeclaredEntityInAnUnreadAttributeIsIgnored) {
  auto result = parse(
      "<!DOCTYPE velmaris [<!ENTITY foo \"bar\">]><velmaris><channels a=\"&foo;\">"
      "<x b=\"&foo;\"/></channels><skip c=\"&foo;\"/><other d=\"&foo;\"></other></velmaris>");
  ASSERT_TRUE(result) << result.error().message();
}

TEST(XmlAttributes, CollectAttrsOnItsOwn) {
  using qel::meta_xml::collect_attrs;
  auto attrs = collect_attrs("<channel  a = \"1\"\tb='x&lt;y' c=\"\" />");
  ASSERT_TRUE(attrs) << attrs.error().message();
  EXPECT_EQ(*attrs, (qel::meta_xml::Attributes{{"a", "1"}, {"b", "x<y"}, {"c", ""}}));
  auto none = collect_attrs("<velmaris>");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  auto dup = collect_attrs("<a x=\"1\" x=\"2\">");
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error().message(),
            std::string(kXmlPrefix) +
                "attribute parse error: duplicate attribute x at line 1, column 10");
  auto entity = collect_attrs("<a x=\"&nbsp;\">");
  ASSERT_FALSE(entity);
  EXPECT_EQ(entity.error().message(),
            std::string(kXmlPrefix) +
                "attribute unescape error: entity reference &nbsp; is not one of the predefined "
                "entities (lt, gt, amp, apos, quot) in attribute x at line 1, column 7");
  auto bad = collect_attrs("<a x=\"&#0;\">");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message(),
            std::string(kXmlPrefix) +
                "attribute unescape error: invalid character reference &#0; in attribute x at "
                "line 1, column 7");
  EXPECT_FALSE(collect_attrs("<a x>"));
  EXPECT_FALSE(collect_attrs("<a x=1>"));
  EXPECT_FALSE(collect_attrs("<a x=\"1>"));
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

  const std::vector<std::string> documents{
      // In a read attribute: refused by the parser (WFC: no external entity in attributes).
      "<!DOCTYPE velmaris [<!ENTITY xxe SYSTEM \"" + fifo.string() +
          "\">]><velmaris creator=\"&xxe;\"></velmaris>",
      "<!DOCTYPE velmaris [<!ENTITY xxe SYSTEM \"file://" + secret_file.string() +
          "\">]><velmaris creator=\"&xxe;\"></velmaris>",
      // In content: passed through unexpanded and ignored.
      "<!DOCTYPE velmaris [<!ENTITY xxe SYSTEM \"" + fifo.string() +
          "\">]><velmaris creator=\"c\">&xxe;<channels>&xxe;</channels></velmaris>",
      // As external DTD and parameter entity: never loaded.
      "<!DOCTYPE velmaris SYSTEM \"" + fifo.string() + "\"><velmaris creator=\"c\"></velmaris>",
      "<!DOCTYPE velmaris [<!ENTITY % p SYSTEM \"" + fifo.string() +
          "\"> %p;]><velmaris creator=\"c\"></velmaris>",
  };
  for (std::size_t i = 0; i < documents.size(); ++i) {
    const std::string doc = documents[i];
    auto future = std::async(std::launch::async, [doc] { return parse(doc); });
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd >= 0) ::close(fd);
      ADD_FAILURE() << "document " << i << " opened the FIFO";
      future.wait();
      continue;
    }
    auto result = future.get();
    if (i < 2) {
      ASSERT_FALSE(result) << i;
      EXPECT_TRUE(starts_with(result.error().message(),
                              std::string(kXmlPrefix) + "attribute unescape error: "))
          << result.error().message();
      EXPECT_EQ(result.error().message().find("TOP-SECRET"), std::string::npos);
    } else {
      ASSERT_TRUE(result) << i << ": " << result.error().message();
      EXPECT_EQ(result->file.creator, "c");
    }
  }
  std::filesystem::remove_all(dir);
}

std::string billion_laughs_dtd() {
  std::string dtd = "<!DOCTYPE velmaris [<!ENTITY lol0 \"lollollollollollollollollollol\">";
  for (int i = 1; i <= 12; ++i) {
    dtd += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) dtd += "&lol" + std::to_string(i - 1) + ";";
    dtd += "\">";
  }
  return dtd + "]>";
}

TEST(XmlHostile, BillionLaughsCostsNothing) {
  // Fully expanded, lol12 would be 3 * 10^13 bytes.
  const std::string dtd = billion_laughs_dtd();
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
  EXPECT_TRUE(starts_with(attribute.error().message(),
                          std::string(kXmlPrefix) + "attribute unescape error: "))
      << attribute.error().message();

  // Referenced in an attribute the reader does not read: the parser's
  // amplification limit ends it early.
  auto unread = parse(dtd + "<velmaris><channels a=\"&lol12;\"></channels></velmaris>");
  ASSERT_FALSE(unread);
  EXPECT_EQ(unread.error().kind(), ErrorKind::MetablockXml);

  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_LT(max_rss_kib() - rss_before, 64 * 1024) << "peak memory grew by more than 64 MiB";
}

TEST(XmlHostile, ParallelParsesOnSeveralThreads) {
  const std::string doc =
      "<?xml version=\"1.0\"?><velmaris creator=\"c\"><channels><channel index=\"1\" name=\"a\" "
      "channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"/></channels></velmaris>";
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto ok = parse(doc);
        if (!ok || ok->channels.size() != 1) ++failures;
        auto bad = parse("<velmaris></other>");
        if (bad) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
