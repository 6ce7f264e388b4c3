// An opened file agrees with the load of the same file: every channel, every
// window of it and every way of cutting it into chunks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fingerprint.hpp"
#include "frame_builder.hpp"
#include "qel/file.hpp"
#include "qel/manager.hpp"

namespace qel {
namespace {

using test::Bytes;
using test::ChannelDecl;
using test::FileBuilder;

constexpr std::uint8_t kStartRun = test::kStartData | test::kMulti;
constexpr std::uint8_t kContinuedRun = test::kContinuedData | test::kMulti;
constexpr std::uint8_t kAbsRun = test::kAbsTimeStampData | test::kMulti;
constexpr std::uint8_t kRelRun = 7 | test::kMulti;

enum class Packing { plain, gzip, zlib };

std::string temp_path() {
  static int counter = 0;
  const char* dir = std::getenv("TEST_TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/qel-file-index-" +
         std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".qel";
}

// A file on disk for the length of a test.
class TempFile {
 public:
  explicit TempFile(std::span<const std::uint8_t> bytes) : path_(temp_path()) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Bytes start_run(std::int64_t start, double rate, std::uint32_t count, double first) {
  Bytes body;
  body.i64(start).f64(rate).u32(count);
  for (std::uint32_t i = 0; i < count; ++i) body.f64(first + i);
  return body;
}

Bytes continued_run(std::uint32_t count, double first) {
  Bytes body;
  body.u32(count);
  for (std::uint32_t i = 0; i < count; ++i) body.f64(first + i);
  return body;
}

Bytes abs_run(std::initializer_list<std::pair<std::int64_t, std::int32_t>> records) {
  Bytes body;
  body.u32(static_cast<std::uint32_t>(records.size()));
  for (const auto& [t, v] : records) body.i64(t).le(v);
  return body;
}

Bytes rel_run(std::initializer_list<std::pair<std::uint32_t, std::int32_t>> records) {
  Bytes body;
  body.u32(static_cast<std::uint32_t>(records.size()));
  for (const auto& [dt, v] : records) body.u32(dt).le(v);
  return body;
}

Bytes text_sample(std::int64_t t, std::string_view text, bool terminated) {
  Bytes body;
  body.u32(1).i64(t).text(text);
  if (terminated) body.u8(0);
  return body;
}

const std::vector<ChannelDecl> kChannels = {
    {1, "speed", "double", 2}, {2, "count", "int32", 4}, {3, "note", "string", 2}};

std::string xml_metablock(const std::vector<ChannelDecl>& channels) {
  std::string xml = "<velmaris><channels>";
  for (const ChannelDecl& c : channels) {
    xml += "<channel index=\"" + std::to_string(c.index) + "\" name=\"" + c.name +
           "\" channeltype=\"scalar\" datatype=\"" + c.datatype + "\" sizeoflengthvalue=\"" +
           std::to_string(c.size_of_length) + "\"/>";
  }
  return xml + "</channels></velmaris>";
}

// Blocks of every kind over the three channels, interleaved: two segments of
// `speed` (one large enough to be placed straight into the array, one with a
// rate whose steps are not whole nanoseconds), unsorted timestamps and
// relative stamps in `count`, strings in `note`.
void mixed_blocks(FileBuilder& file, bool terminated) {
  file.frame(1, kStartRun, start_run(1'000, 1e3, 5, 0.0));
  file.frame(2, kAbsRun, abs_run({{5'000'000, 7}, {1'500'000, -3}, {9'000'000, 11}}));
  file.frame(3, kAbsRun, text_sample(2'000'000, "first", terminated));
  file.frame(1, kContinuedRun, continued_run(2100, 5.0));
  file.frame(2, kRelRun, rel_run({{250, 1}, {1'000'000, 2}}));
  file.frame(1, kStartRun, start_run(50'000'000, 3.0, 4, 100.0));
  file.frame(3, kAbsRun, text_sample(1'000, "early", terminated));
  file.frame(1, kContinuedRun, continued_run(3, 104.0));
  file.frame(2, kAbsRun, abs_run({{20'000'000, 5}}));
}

struct Case {
  std::string name;
  std::uint32_t version = 5;
  IntegrityProfile integrity = IntegrityProfile::none;
  std::vector<ChannelDecl> channels = kChannels;
  bool load_fails = false;
  // Appends the block area; the builder declares the file's integrity.
  std::function<void(FileBuilder&, const Case&)> blocks;
};

FileBuilder builder_for(const Case& c) {
  FileBuilder file(c.integrity);
  file.channels(c.channels);
  if (c.version == 4) {
    const std::string xml = xml_metablock(c.channels);
    file.metablock(xml).header_line("QEL4 " + std::to_string(xml.size()));
  }
  return file;
}

// One frame as `file` would write it, with its last byte changed.
void corrupt_frame(FileBuilder& file, const Case& c, std::uint16_t index, std::uint8_t control,
                   std::span<const std::uint8_t> body) {
  FileBuilder single = builder_for(c);
  single.frame(index, control, body);
  std::vector<std::uint8_t> frame = single.blocks();
  frame.back() ^= 0x5A;
  file.raw(frame);
}

std::vector<std::uint8_t> file_of(const Case& c, Packing packing) {
  FileBuilder file = builder_for(c);
  c.blocks(file, c);
  const std::vector<std::uint8_t> bytes = file.file();
  if (packing == Packing::plain) return bytes;
  return test::compress(bytes,
                        packing == Packing::gzip ? test::Wrapper::gzip : test::Wrapper::zlib);
}

const IntegrityProfile kCrc = IntegrityProfile::crc32c;

std::vector<Case> cases() {
  const auto mixed = [](FileBuilder& f, const Case& c) { mixed_blocks(f, c.version == 4); };
  return {
      {.name = "mixed_v5", .blocks = mixed},
      {.name = "mixed_v4", .version = 4, .blocks = mixed},
      {.name = "mixed_crc", .integrity = kCrc, .blocks = mixed},
      {.name = "crc_failures",
       .integrity = kCrc,
       .blocks =
           [](FileBuilder& f, const Case& c) {
             f.frame(1, kStartRun, start_run(0, 1e6, 4, 0.0));
             // A lost start: the continuation after it extends the first run.
             corrupt_frame(f, c, 1, kStartRun, start_run(90'000, 1e6, 2, 50.0));
             f.frame(1, kContinuedRun, continued_run(3, 60.0));
             corrupt_frame(f, c, 2, kAbsRun, abs_run({{10, 1}}));
             f.frame(2, kAbsRun, abs_run({{20, 2}, {30, 3}}));
             corrupt_frame(f, c, 1, kContinuedRun, continued_run(2100, 0.0));
             f.frame(1, kContinuedRun, continued_run(2, 70.0));
           }},
      {.name = "skipped_kinds",
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, 3, Bytes{1, 2, 3});         // status event
             f.frame(2, 1, Bytes().i64(5).u32(1));  // trusted timestamp
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.frame(3, 0x02, Bytes{9, 9});  // reserved kind
             f.raw(Bytes().u16(2).u32(0));   // zero length
             f.frame(2, kAbsRun, abs_run({{3, 4}}));
           }},
      {.name = "trailer",
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             Bytes tail;
             tail.text("QEL_STREAM_END").zeros(40 - 14);
             f.raw(Bytes().u16(0xFFFF).u32(4).u32(77).raw(tail));
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));  // after the end: not read
           }},
      {.name = "signature",
       .integrity = kCrc,
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.raw(Bytes().u16(0xFFFE).u32(8).zeros(8));
             f.frame(1, kContinuedRun, continued_run(2, 4.0));
           }},
      {.name = "truncated",
       .blocks =
           [](FileBuilder& f, const Case& c) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.frame(2, kAbsRun, abs_run({{3, 4}}));
             FileBuilder last = builder_for(c);
             last.frame(1, kContinuedRun, continued_run(2100, 4.0));
             f.raw(std::span(last.blocks()).first(last.blocks().size() / 2));
           }},
      {.name = "stray_byte_and_cut_trailer",
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.raw(Bytes().u16(0xFFFF).u32(400).zeros(3));
           }},
      {.name = "no_blocks", .blocks = [](FileBuilder&, const Case&) {}},
      {.name = "relative_stamps_after_crc_failure",
       .integrity = kCrc,
       .blocks =
           [](FileBuilder& f, const Case& c) {
             f.frame(2, kAbsRun, abs_run({{100, 1}, {90, 2}}));
             f.frame(2, kRelRun, rel_run({{5, 3}}));
             corrupt_frame(f, c, 2, kRelRun, rel_run({{7, 4}}));
             f.frame(2, kRelRun, rel_run({{1, 5}, {2, 6}}));
             f.frame(3, kAbsRun, text_sample(3, "x", false));
           }},
      {.name = "redefined_index",
       .channels = {{1, "old", "int32", 2}, {2, "count", "int32", 4}, {1, "speed", "double", 2}},
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.frame(2, kAbsRun, abs_run({{3, 4}}));
           }},
      {.name = "unsupported_type",
       .channels = {{1, "speed", "double", 2}, {4, "odd", "complex-thing", 2}},
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(4, 0x86, Bytes{1, 2, 3, 4});
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
           }},
      {.name = "unknown_index",
       .load_fails = true,
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.frame(9, kStartRun, start_run(10, 100.0, 3, 1.0));
           }},
      {.name = "unsupported_cut_short",
       .channels = {{1, "speed", "double", 2}, {4, "odd", "complex-thing", 2}},
       .load_fails = true,
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.raw(Bytes().u16(4).u16(50).zeros(10));
           }},
      {.name = "payload_error",
       .load_fails = true,
       .blocks =
           [](FileBuilder& f, const Case&) {
             f.frame(1, kStartRun, start_run(10, 100.0, 3, 1.0));
             f.frame(2, kAbsRun, Bytes().u32(3).i64(1));
           }},
      {.name = "continued_without_start",
       .load_fails = true,
       .blocks = [](FileBuilder& f,
                    const Case&) { f.frame(1, kContinuedRun, continued_run(2, 1.0)); }},
  };
}

// The fingerprint, with what it leaves out: the index and the storage kind.
std::string identity(const Channel& channel) {
  return std::to_string(channel.index) + std::string(channel.storage_kind()) + ":" +
         fuzz::fingerprint(DataManager::from_parts({}, {channel}, {}));
}

// Every sample as (time, value bytes), in order.
using Sample = std::pair<std::int64_t, std::string>;

std::vector<std::string> values_of(const Channel& channel) {
  std::vector<std::string> out;
  const auto add_numeric = [&](const NumericValues& values) {
    std::visit(
        [&](const auto& array) {
          for (const auto& v : array.view()) {
            out.emplace_back(reinterpret_cast<const char*>(&v), sizeof v);
          }
        },
        values);
  };
  if (const auto* e = std::get_if<EquidistantStorage>(&channel.storage)) add_numeric(e->values);
  if (const auto* t = std::get_if<TimestampedStorage>(&channel.storage)) add_numeric(t->values);
  if (const auto* v = std::get_if<VariableChannel>(&channel.storage)) {
    const ByteStringList& list = v->strings ? *v->strings : *v->binaries;
    for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list.text(i));
  }
  return out;
}

// The times of a whole channel, as the load gives them.
std::vector<std::int64_t> times_of(const Channel& channel) {
  std::vector<std::int64_t> times(channel.sample_count());
  if (const auto* e = std::get_if<EquidistantStorage>(&channel.storage)) {
    fill_sample_times(e->segments, times);
  } else if (const auto* t = std::get_if<TimestampedStorage>(&channel.storage)) {
    std::ranges::copy(t->timestamps.view(), times.begin());
  } else {
    std::ranges::copy(std::get<VariableChannel>(channel.storage).timestamps.view(), times.begin());
  }
  return times;
}

std::vector<Sample> zipped(const std::vector<std::int64_t>& times,
                           const std::vector<std::string>& values) {
  std::vector<Sample> out;
  for (std::size_t i = 0; i < times.size(); ++i) out.emplace_back(times[i], values[i]);
  return out;
}

std::vector<Sample> samples_of(const ChannelPiece& piece) {
  std::vector<std::int64_t> times(piece.channel.sample_count());
  fill_original_times(piece, times);
  return zipped(times, values_of(piece.channel));
}

// A cut equidistant segment starts at its first sample's time and keeps a
// rate of the whole channel.
void expect_segments_follow_samples(const ChannelPiece& piece, const Channel& whole) {
  const auto* storage = std::get_if<EquidistantStorage>(&piece.channel.storage);
  if (storage == nullptr) return;
  const auto& rates = std::get<EquidistantStorage>(whole.storage).segments;
  std::vector<std::int64_t> times(piece.channel.sample_count());
  fill_original_times(piece, times);
  for (const Segment& segment : storage->segments) {
    ASSERT_GT(segment.sample_count, 0u);
    EXPECT_EQ(segment.start_timestamp_ns, times[segment.offset]);
    EXPECT_TRUE(std::ranges::any_of(
        rates, [&](const Segment& s) { return s.sample_rate_hz == segment.sample_rate_hz; }));
  }
}

std::vector<TimeWindow> windows_for(const Channel& channel) {
  std::vector<std::int64_t> times = times_of(channel);
  std::ranges::sort(times);
  std::set<std::int64_t> bounds;
  if (!times.empty()) {
    for (const std::size_t i : {std::size_t{0}, std::size_t{1}, times.size() / 3, times.size() / 2,
                                times.size() - 2, times.size() - 1}) {
      const std::int64_t t = times[std::min(i, times.size() - 1)];
      bounds.insert({t, t + 1});
    }
  }
  std::vector<TimeWindow> windows{{std::nullopt, std::nullopt}};
  for (const std::int64_t a : bounds) {
    windows.push_back({a, std::nullopt});
    windows.push_back({std::nullopt, a});
    for (const std::int64_t b : bounds) windows.push_back({a, b});
  }
  return windows;
}

class FileAgreesWithLoad : public ::testing::TestWithParam<std::tuple<Case, Packing>> {};

TEST_P(FileAgreesWithLoad, EverywhereTheLoadLoads) {
  const auto& [c, packing] = GetParam();
  const TempFile file(file_of(c, packing));
  const auto loaded = DataManager::load_from_file(file.path());
  const auto opened = File::open(file.path());
  ASSERT_EQ(!loaded, c.load_fails);
  if (!loaded) {
    // The load's error, from the open when it is in a frame head, else from
    // the read that reaches the block.
    const std::string text =
        opened ? (*opened)->read(std::nullopt).error().message() : opened.error().message();
    EXPECT_EQ(text, loaded.error().message());
    return;
  }
  ASSERT_TRUE(opened) << opened.error().message();
  const File& f = **opened;
  EXPECT_EQ(f.truncated(), loaded->stats().blocks_truncated != 0);
  const auto all = f.read(std::nullopt);
  ASSERT_TRUE(all) << all.error().message();
  EXPECT_EQ(fuzz::fingerprint(*all), fuzz::fingerprint(*loaded));
  ASSERT_EQ(f.channels().size(), loaded->channels().size());

  for (const Channel& whole : loaded->channels()) {
    const Channel* info = f.channel_info(whole.name);
    ASSERT_NE(info, nullptr) << whole.name;
    EXPECT_EQ(info, f.channel_info_by_index(whole.index));
    const auto read = f.read_channel(*info);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(identity(read->channel), identity(whole));

    const std::vector<Sample> every = zipped(times_of(whole), values_of(whole));
    for (const TimeWindow& window : windows_for(whole)) {
      std::vector<Sample> expected;
      std::ranges::copy_if(every, std::back_inserter(expected),
                           [&](const Sample& s) { return window.holds(s.first); });
      const auto cut = f.read_channel(*info, window);
      ASSERT_TRUE(cut) << cut.error().message();
      EXPECT_EQ(samples_of(*cut), expected);
      expect_segments_follow_samples(*cut, whole);

      for (const std::size_t max : {std::size_t{1}, std::size_t{2}, std::size_t{1000}}) {
        auto cursor = f.chunks(*info, max, window);
        ASSERT_TRUE(cursor) << cursor.error().message();
        std::vector<Sample> joined;
        for (;;) {
          auto piece = (*cursor)->next();
          ASSERT_TRUE(piece) << piece.error().message();
          if (!*piece) break;
          const std::vector<Sample> part = samples_of(**piece);
          ASSERT_GT(part.size(), 0u);
          ASSERT_LE(part.size(), max);
          expect_segments_follow_samples(**piece, whole);
          joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_EQ(joined, expected);
      }
    }
  }
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Case, Packing>>& param) {
  static const std::string kPackings[] = {"plain", "gzip", "zlib"};
  return std::get<0>(param.param).name + "_" +
         kPackings[static_cast<int>(std::get<1>(param.param))];
}

INSTANTIATE_TEST_SUITE_P(Files, FileAgreesWithLoad,
                         ::testing::Combine(::testing::ValuesIn(cases()),
                                            ::testing::Values(Packing::plain, Packing::gzip,
                                                              Packing::zlib)),
                         case_name);

struct StrictCase {
  std::string case_name;
  // Empty when a strict open accepts the file.
  std::string error;
};

class StrictOpen : public ::testing::TestWithParam<StrictCase> {};

TEST_P(StrictOpen, RefusesWhatTheLoadTolerates) {
  const std::vector<Case> all = cases();
  const auto found = std::ranges::find(all, GetParam().case_name, &Case::name);
  ASSERT_NE(found, all.end());
  const TempFile file(file_of(*found, Packing::plain));
  ASSERT_TRUE(File::open(file.path()));
  const auto strict = File::open(file.path(), {.strict = true});
  if (GetParam().error.empty()) {
    EXPECT_TRUE(strict) << strict.error().message();
  } else {
    ASSERT_FALSE(strict);
    EXPECT_EQ(strict.error().message(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, StrictOpen,
    ::testing::Values(StrictCase{"mixed_crc", ""}, StrictCase{"signature", ""},
                      StrictCase{"trailer", ""},
                      StrictCase{"truncated",
                                 "I/O error: the block area ends inside a block (truncated file)"},
                      StrictCase{"crc_failures",
                                 "invalid QEL block payload: 3 blocks failed the frame CRC check"},
                      StrictCase{"skipped_kinds", "invalid QEL block payload: 4 blocks skipped"},
                      StrictCase{"unsupported_type", "invalid QEL block payload: 1 block skipped"}),
    [](const auto& param) { return param.param.case_name; });

TEST(FileRead, NamesPickChannelsInTheFilesOrder) {
  const std::vector<Case> all = cases();
  const TempFile file(file_of(all.front(), Packing::plain));
  const auto f = File::open(file.path());
  ASSERT_TRUE(f);
  const std::vector<std::string> names{"note", "speed", "note"};
  const auto picked = (*f)->read(names);
  ASSERT_TRUE(picked) << picked.error().message();
  ASSERT_EQ(picked->channels().size(), 2u);
  EXPECT_EQ(picked->channels()[0].name, "speed");
  EXPECT_EQ(picked->channel("note")->sample_count(), 2u);
  const std::vector<std::string> unknown{"speed", "nope"};
  EXPECT_EQ((*f)->read(unknown).error().message(), "channel \"nope\" not found");
}

TEST(FileRead, APayloadErrorSurfacesOnlyInTheReadThatReachesIt) {
  const std::vector<Case> all = cases();
  const auto found = std::ranges::find(all, std::string("payload_error"), &Case::name);
  const TempFile file(file_of(*found, Packing::plain));
  const auto loaded = DataManager::load_from_file(file.path());
  ASSERT_FALSE(loaded);
  const auto f = File::open(file.path());
  ASSERT_TRUE(f) << f.error().message();
  EXPECT_TRUE((*f)->read_channel(*(*f)->channel_info("speed")));
  const auto failed = (*f)->read_channel(*(*f)->channel_info("count"));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), loaded.error().message());
}

TEST(FileOpen, RefusesWhatCannotBeReadByPosition) {
  const std::string fifo = temp_path();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Refused at once, without waiting for a writer.
  const auto opened = File::open(fifo);
  ::unlink(fifo.c_str());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().message(), "I/O error: not a regular file");
}

}  // namespace
}  // namespace qel
