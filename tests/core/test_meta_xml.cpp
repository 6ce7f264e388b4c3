// The version-4 XML metablock reader.

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <utility>

#include "metablock/meta_xml.hpp"
#include "metablock/xml_number.hpp"
#include "test_support.hpp"

namespace {

using qel::ErrorKind;
using qel::MetaBlock;
using qel::Result;
using qel::test::Captured;
using qel::test::describe;
using qel::test::invalid;
using qel::test::log_lines;
using qel::test::Refusal;
using Lines = std::vector<std::string>;

Result<MetaBlock> parse(std::string_view text) {
  return qel::parse_metablock_xml(qel::test::bytes_of(text));
}

std::string xml_error(std::string_view text) {
  return "QEL4 metablock XML parse error: " + std::string(text);
}

std::string channel_doc(std::string_view attributes) {
  return "<velmaris><channels><channel " + std::string(attributes) + "/></channels></velmaris>";
}

// A <channel> element named `name` with every required attribute.
std::string ch(std::string_view name, std::string_view close = "/>") {
  return "<channel index=\"1\" name=\"" + std::string(name) +
         "\" channeltype=\"scalar\" datatype=\"int8\" sizeoflengthvalue=\"2\"" + std::string(close);
}

// Bad numbers of each parser are refused through the reader below.
TEST(XmlNumber, SyntaxVariants) {
  using namespace qel::xml_number;
  EXPECT_FALSE(parse_unsigned("-0", 65535));
  // Scanning from the left, the first offending character decides.
  EXPECT_EQ(parse_i64("99999999999999999999x").error(), "number too large to fit in target type");
  EXPECT_EQ(parse_i64("9x9999999999999999999").error(), "invalid digit found in string");
  EXPECT_EQ(parse_f64("-.5e1"), -5.0);
  for (const std::string_view bad : {".", "1e+", "1.5.2", "0x10", "infinit"}) {
    EXPECT_EQ(parse_f64(bad).error(), "invalid float literal") << bad;
  }
}

TEST(XmlErrors, EveryRefusalOfTheReaderHasItsMessage) {
  const std::string root = "QEL4 root element must be <velmaris>, got ";
  const std::string base = R"(index="1" name="x" channeltype="scalar" datatype="double" )";
  const ErrorKind xml = ErrorKind::MetablockXml;
  const std::vector<Refusal> cases{
      // After an end tag of the root, also one inside <channels>, the reader is back before it.
      {"<velmaris><channels><velmaris></velmaris><channel></channel></channels></velmaris>",
       invalid(root + "<channel>")},
      {"<velmaris><foo><bar></bar>", invalid("QEL4 unexpected EOF while skipping <foo>")},
      // The primary position attribute is read first, then the alternatives.
      {R"(<velmaris longitude="a" created_at_latitude="b"></velmaris>)",
       invalid(R"(<velmaris created_at_latitude="b"> is not a float: invalid float literal)")},
      {R"(<velmaris altitude="a" longitude="b"></velmaris>)",
       invalid(R"(<velmaris longitude="b"> is not a valid float: invalid float literal)")},
      {channel_doc(""),
       invalid("QEL4 <channel> at position 0 is missing required attribute index")},
      {channel_doc(R"(index="65536")"),
       invalid("QEL4 <channel> at position 0 has index=\"65536\" out of range")},
      {channel_doc(R"(index="7" datatype="pair")"),
       invalid("QEL4 <channel index=7> is missing required attribute name")},
      {channel_doc(R"(index="7" name="a&quot;b" datatype="pair")"),
       invalid(R"(QEL4 <channel name="a\"b"> is missing required attribute channeltype)")},
      // The removed data type comes before the length-field width.
      {channel_doc(R"(index="7" name="n" channeltype="s" datatype="candata")"),
       "field \"datatype\" uses \"candata\", removed in ", ErrorKind::RemovedField},
      {channel_doc(base + R"(sizeoflengthvalue="4294967296")"),
       invalid(R"(QEL4 <channel name="x"> has sizeoflengthvalue="4294967296" (not numeric))")},
      {channel_doc(base + R"(sizeoflengthvalue="4294967295")"),
       invalid("sizeoflengthvalue must be 2 or 4, got 4294967295")},
      {channel_doc(base + R"(sizeoflengthvalue="2" timeincrement="9223372036854775808")"),
       invalid(R"(attribute timeincrement="9223372036854775808" is not an int: number too )"
               "large to fit in target type")},
      // The position counts channels across sections.
      {"<velmaris><channels>" + ch("a") + ch("b") + "</channels><channels>" + ch("c") +
           "<channel name=\"e\"/></channels></velmaris>",
       invalid("QEL4 <channel> at position 3 is missing required attribute index")},
      {"<velmaris><infos><info value=\"v\"/></infos></velmaris>",
       invalid("QEL4 <info> is missing name")},
      // The parser's errors, with the attribute prefixes inside a tag whose attributes
      // the reader reads.
      {"<velmaris>\n  </other>", xml_error("mismatched tag at line 2, column 5"), xml},
      {"<velmaris creator=\"a\" creator=\"b\"></velmaris>",
       xml_error("attribute parse error: duplicate attribute at line 1, column 23"), xml},
      {"<velmaris><infos><info name=\"a&foo;b\"></info></infos></velmaris>",
       xml_error("attribute unescape error: undefined entity at line 1, column 31"), xml},
      {"<velmaris><infos/><channels x=\"&undefined;\"/></velmaris>",
       xml_error("undefined entity at line 1, column 19"), xml},
      // A declared entity passes the parser; the reader takes only the predefined five.
      {"<!DOCTYPE velmaris [<!ENTITY foo \"bar\">]>\n<velmaris creator=\"x&foo;\"></velmaris>",
       xml_error("attribute unescape error: entity reference &foo; is not one of the predefined "
                 "entities (lt, gt, amp, apos, quot) in attribute creator at line 2, column 21"),
       xml},
  };
  qel::test::expect_refusals(cases, parse);
}

TEST(XmlDocument, NoRootElementGivesAnEmptyModelWithoutRecords) {
  // An empty element before the root is ignored and its attributes are not read.
  for (const std::string_view text :
       {"", "<?xml version=\"1.0\"?>\n<!-- c --><?pi x?>", "\xEF\xBB\xBF<?xml version=\"1.0\"?>",
        R"(<velmaris created_at_latitude="north"/>)", "<velmaris></velmaris><other/>  "}) {
    const Captured captured;
    auto result = parse(text);
    ASSERT_TRUE(result) << text << ": " << result.error().message();
    EXPECT_EQ(describe(result->file), "") << text;
    EXPECT_TRUE(result->channels.empty() && result->infos.empty()) << text;
    EXPECT_TRUE(captured.sink.records.empty()) << text;
  }
}

// Each root replaces the file information and adds its channels; the bytes are
// UTF-8 whatever the declaration says, invalid sequences becoming U+FFFD.
TEST(XmlDocument, RootsAddUpAndTheBytesAreUtf8) {
  auto result = parse(
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><velmaris creator=\"a\" "
      "tag=\"t\"><channels>" +
      ch("a") +
      "</channels></velmaris><velmaris "
      "creator=\"\xC3\xA9\" tag=\"a\xFF\xC3\">\xE2\x82<channels>" +
      ch("b") + "</channels></velmaris>\n");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(describe(result->file), "creator=\"\xC3\xA9\" tag=\"a\xEF\xBF\xBD\xEF\xBF\xBD\"");
  ASSERT_EQ(result->channels.size(), 2U);
  EXPECT_EQ(result->channels[1].name, "b");
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
  for (const auto& [doc, expected] : std::vector<std::pair<std::string, Lines>>{
           // An unknown child of the root is skipped whole, channels included.
           {"<velmaris><extra><channels>" + ch("hidden") + "</channels></extra><channels>" +
                ch("seen") + "</channels></velmaris>",
            {"channel seen", child("extra")}},
           // Skipping ends at the first end tag of the same name, without a nesting count.
           {"<velmaris><foo><foo/><channel index=\"9\"/><foo></foo><channels>" + ch("inner") +
                "</channels></foo></velmaris>",
            {"channel inner", child("foo")}},
           {"<velmaris>" + ch("a", "></channel>") + "<thing/><infos/></velmaris>",
            {child("channel"), empty("thing")}},
           // Inside <channels> and <infos> an unknown child is not skipped.
           {"<velmaris><channels><group>" + ch("a") +
                "</group></channels><infos><x><info "
                "name=\"i\"/></x></infos></velmaris>",
            {"channel a", "info i", child("group", in_channels), child("x", "inside <infos>")}},
       }) {
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

TEST(XmlRead, RootChannelAndInfoMembers) {
  const Captured captured;
  auto result =
      parse(R"(<velmaris created_utc="2020" creator="a&amp;&lt;&#x42;&#x1F600;" tag="t&#10;" )"
            R"(reason="r" namespacesep="::" comment='it&apos;s' created_at_latitude="48.5" )"
            R"(created_at_longitude="-11" created_at_altitude="1e3"><channels><channel index="+5" )"
            R"(name="speed" channeltype="matrix" datatype="gpslocation" sizeoflengthvalue="004" )"
            R"(timeincrement="-9223372036854775808" mimetype="m" physicalunit="km/h" )"
            R"(physicaldimension="v" displayname="Speed" comment="" reference="ref" )"
            R"(spectrumtype="ampphasedeg"/></channels><infos><info name="a"/><info name="b" )"
            R"(datatype="uint16" value="7" physicalunit="s"/></infos></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(describe(result->file),
            "created_utc=\"2020\" creator=\"a&<B\xF0\x9F\x98\x80\" reason=\"r\" tag=\"t\\n\" "
            "comment=\"it's\" namespacesep=\"::\" latitude=48.5 longitude=-11 altitude=1000");
  ASSERT_EQ(result->channels.size(), 1U);
  EXPECT_EQ(describe(result->channels[0]),
            R"(index=5 name="speed" channeltype=matrix datatype=GpsLocation sizeoflengthvalue=4 )"
            R"(timeincrement=-9223372036854775808 mimetype="m" physicalunit="km/h" )"
            R"(physicaldimension="v" displayname="Speed" comment="" reference="ref" )"
            "spectrumtype=ampphasedeg");
  ASSERT_EQ(result->infos.size(), 2U);
  EXPECT_EQ(describe(result->infos[0]), R"(name="a" value="" datatype=String)");
  EXPECT_EQ(describe(result->infos[1]), R"(name="b" value="7" datatype=UInt16 physicalunit="s")");
  EXPECT_TRUE(captured.sink.records.empty());
}

// The kinds of records: an unknown attribute, an alternative position read only
// when the primary is absent, a withdrawn attribute.
TEST(XmlLog, RecordsOfAcceptedDocuments) {
  const Captured captured;
  auto result = parse(R"(<velmaris xmlns:q="u" latitude="48.5" created_at_longitude="1" )"
                      R"(longitude="x"><channels><channel index="1" name="x" channeltype="scalar" )"
                      R"(datatype="int8" sizeoflengthvalue="2" scale="1"/></channels></velmaris>)");
  ASSERT_TRUE(result) << result.error().message();
  EXPECT_EQ(describe(result->file), "latitude=48.5 longitude=1");
  qel::test::expect_log_starts(
      captured,
      {"D meta_xml: QEL4 velmaris/latitude accepted as alternative for created_at_latitude;",
       "D meta_xml: QEL4 <velmaris \"xmlns:q\"> attribute is not known to this build; ignored",
       "W meta_xml: QEL4 <channel name=\"x\"> carries deprecated attribute \"scale\" (removed "});
}

// An XXE attempt naming a FIFO, which this test holds open at both ends with
// bytes in it, so that a parser opening or reading it would not block; every
// open or read of it is then seen as an inotify event once the parse returns.
TEST(XmlHostile, ExternalEntityNamingALocalFileIsNeverRead) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qel_xxe_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto fifo = dir / "secret.fifo";
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int held = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::write(held, "secret", 6), 6);
  const int events = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(events, 0);
  ASSERT_GE(::inotify_add_watch(events, fifo.c_str(), IN_OPEN | IN_ACCESS), 0);

  const std::string entity = "<!DOCTYPE velmaris [<!ENTITY xxe SYSTEM \"";
  const std::string in_attribute = "\">]><velmaris creator=\"&xxe;\"></velmaris>";
  const std::string root = "<velmaris creator=\"c\">";
  // (document, refused)
  for (const auto& [doc, refused] : std::vector<std::pair<std::string, bool>>{
           {entity + fifo.string() + in_attribute, true},
           {entity + fifo.string() + "\">]>" + root + "&xxe;<channels>&xxe;</channels></velmaris>",
            false},
           {"<!DOCTYPE velmaris SYSTEM \"" + fifo.string() + "\">" + root + "</velmaris>", false},
           {"<!DOCTYPE velmaris [<!ENTITY % p SYSTEM \"" + fifo.string() + "\"> %p;]>" + root +
                "</velmaris>",
            false}}) {
    SCOPED_TRACE(doc);
    auto result = parse(doc);
    std::array<char, 4096> event;
    EXPECT_LT(::read(events, event.data(), event.size()), 0) << "the parse opened the FIFO";
    const std::string message = result ? "" : result.error().message();
    EXPECT_EQ(result ? *result->file.creator : message.substr(0, message.find(" at line")),
              refused ? xml_error("attribute unescape error: reference to external entity in "
                                  "attribute")
                      : "c");
  }
  ::close(events);
  ::close(held);
  std::filesystem::remove_all(dir);
}

TEST(XmlDocument, TextLongerThanOnePieceOfTheParserReadsOnAndPlacesErrors) {
  // Each of the names straddles a boundary of the pieces the parser is given somewhere.
  const std::string padding = "<!-- " + std::string(3 << 20, 'x') + " -->";
  std::string doc = "<velmaris>";
  for (int i = 0; i < 3; ++i) doc += padding + ch("n" + std::to_string(i), "/>");
  doc.insert(10, "<channels>");
  const auto read = parse(doc + "</channels></velmaris>");
  ASSERT_TRUE(read) << read.error().message();
  ASSERT_EQ(read->channels.size(), 3U);
  EXPECT_EQ(read->channels[2].name, "n2");
  const auto broken = parse(doc + "\n </other>");
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().message(), xml_error("mismatched tag at line 2, column 4"));
}

TEST(XmlHostile, NestingIsBoundedAndReadUpToTheBound) {
  // Unknown elements inside <channels> are read into: the channel at the bottom counts.
  // The channel is the element at `depth`, below <velmaris>, <channels> and depth - 3 <a>.
  const auto nested = [](int depth) {
    std::string open, close;
    for (int i = 3; i < depth; ++i) {
      open += "<a>";
      close += "</a>";
    }
    return "<velmaris><channels>" + open + ch("deep") + close + "</channels></velmaris>";
  };
  const auto deepest = parse(nested(1 << 16));
  ASSERT_TRUE(deepest) << deepest.error().message();
  ASSERT_EQ(deepest->channels.size(), 1U);
  const auto deeper = parse(nested((1 << 16) + 1));
  ASSERT_FALSE(deeper);
  EXPECT_EQ(deeper.error().message(), invalid("QEL4 elements nest deeper than 65536 levels"));
}

// The work is measured in this thread's CPU time, which a busy machine does not
// stretch; fully expanded, the entities would take hours.
std::chrono::nanoseconds thread_cpu_time() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
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
  const long rss_before = qel::test::max_rss_kib();
  const auto start = thread_cpu_time();
  // In content it is ignored; in a read attribute the reader refuses it; in an unread
  // one the parser's amplification limit ends it early.
  EXPECT_TRUE(parse(dtd + "<velmaris>&lol12;<channels>&lol12;</channels></velmaris>"));
  EXPECT_FALSE(parse(dtd + "<velmaris creator=\"&lol12;\"></velmaris>"));
  EXPECT_FALSE(parse(dtd + "<velmaris><i a=\"&lol12;\"/></velmaris>"));
  EXPECT_LT(thread_cpu_time() - start, std::chrono::seconds(5));
  EXPECT_LT(qel::test::max_rss_kib() - rss_before, 64 * 1024) << "peak memory grew over 64 MiB";
}

}  // namespace
