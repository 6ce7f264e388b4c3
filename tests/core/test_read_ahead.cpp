// Reading ahead on a helper thread: the caller sees the bytes, failures and
// end that reading the stream itself gives, a stop ends the helper without
// waiting for it, and loads share the processors with their helpers.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "container/read_ahead.hpp"
#include "container/reading_threads.hpp"
#include "fingerprint.hpp"
#include "qel/cancel.hpp"
#include "qel/manager.hpp"
#include "qel/stream.hpp"
#include "qel/writer.hpp"

namespace qel {
namespace {

constexpr std::size_t kSlot = ReadAheadInput::kSlotBytes;

// One step of a scripted stream: up to `bytes` bytes per read until they are
// given, or one failure, or one thrown bad_alloc.
struct Step {
  enum Kind { bytes, failure, oom } kind;
  std::size_t count = 0;
};

// Gives its steps in order, then the end. Byte i of the stream is i * 7 mod 251.
class Scripted final : public InputStream {
 public:
  explicit Scripted(std::vector<Step> steps, std::size_t per_read)
      : steps_(std::move(steps)), per_read_(per_read) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    while (next_ < steps_.size()) {
      Step& step = steps_[next_];
      if (step.kind != Step::bytes) {
        ++next_;
        if (step.kind == Step::oom) throw std::bad_alloc();
        return std::unexpected(Error::io_message("scripted failure at " + std::to_string(given_)));
      }
      if (step.count == 0) {
        ++next_;
        continue;
      }
      const std::size_t n = std::min({out.size(), step.count, per_read_});
      for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>((given_ + i) * 7 % 251);
      step.count -= n;
      given_ += n;
      if (std::this_thread::get_id() == creator_) ++on_creator_;
      return n;
    }
    return 0;
  }

  // Reads that gave bytes on the thread that made the stream.
  std::size_t on_creator() const { return on_creator_; }

 private:
  std::vector<Step> steps_;
  std::size_t per_read_;
  std::size_t next_ = 0;
  std::size_t given_ = 0;
  std::thread::id creator_ = std::this_thread::get_id();
  std::size_t on_creator_ = 0;
};

// What a caller reading `stream` in reads of the sizes of `pattern` (in turn)
// sees: the bytes, each failure with the bytes before it, and the end; one
// more read after each failure.
std::vector<std::string> transcript(InputStream& stream, const std::vector<std::size_t>& pattern) {
  std::vector<std::string> seen;
  std::vector<std::uint8_t> buffer;
  std::string bytes;
  for (std::size_t turn = 0; seen.size() < 8; ++turn) {
    buffer.resize(pattern[turn % pattern.size()]);
    Result<std::size_t> got = [&]() -> Result<std::size_t> {
      try {
        return stream.read(buffer);
      } catch (const std::bad_alloc&) {
        return std::unexpected(Error::out_of_memory());
      }
    }();
    if (!got) {
      seen.push_back(std::to_string(bytes.size()) + " bytes, then " + got.error().message());
      continue;
    }
    if (*got == 0) {
      seen.push_back(std::to_string(bytes.size()) + " bytes, then the end");
      break;
    }
    bytes.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*got));
  }
  std::uint32_t sum = 0;
  for (const char c : bytes) sum = sum * 31 + static_cast<std::uint8_t>(c);
  seen.push_back("checksum " + std::to_string(sum));
  return seen;
}

struct Script {
  std::string label;
  std::vector<Step> steps;
  std::size_t per_read;
  std::vector<std::size_t> pattern;
};

class Scripts : public ::testing::TestWithParam<Script> {};

TEST_P(Scripts, ReadAheadShowsWhatTheStreamItselfShows) {
  const Script& script = GetParam();
  Scripted direct(script.steps, script.per_read);
  const std::vector<std::string> expected = transcript(direct, script.pattern);

  auto wrapped = ReadAheadInput::wrap(std::make_unique<Scripted>(script.steps, script.per_read));
  ASSERT_NE(dynamic_cast<ReadAheadInput*>(wrapped.get()), nullptr) << "no helper started";
  EXPECT_EQ(transcript(*wrapped, script.pattern), expected);
}

const std::size_t kOdd = 3 * kSlot + 12345;

INSTANTIATE_TEST_SUITE_P(
    ReadAhead, Scripts,
    ::testing::Values(Script{"empty", {}, 4096, {8192}},
                      Script{"within_one_slot", {{Step::bytes, 1000}}, 64, {7, 8192}},
                      Script{"many_slots_odd_reads",
                             {{Step::bytes, 9 * kSlot + 77}},
                             100'000,
                             {1, 8192, 3 * kSlot}},
                      Script{"failure_mid_slot",
                             {{Step::bytes, kOdd}, {Step::failure}, {Step::bytes, 500}},
                             65536,
                             {8192, kSlot + 1}},
                      Script{"failure_at_slot_edge",
                             {{Step::bytes, 2 * kSlot}, {Step::failure}, {Step::bytes, 9}},
                             kSlot,
                             {kSlot}},
                      Script{"failure_first",
                             {{Step::failure}, {Step::failure}, {Step::bytes, 3 * kSlot}},
                             kSlot,
                             {8192}},
                      Script{"out_of_memory",
                             {{Step::bytes, kSlot + 3}, {Step::oom}, {Step::bytes, 10}},
                             4096,
                             {kSlot}}),
    [](const auto& test) { return test.param.label; });

// Never ends: a stop must not wait for the end. Says when the helper freed it.
class Endless final : public InputStream {
 public:
  Endless(std::size_t& given, std::latch& gone) : given_(given), gone_(gone) {}
  ~Endless() override { gone_.count_down(); }
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    given_ += out.size();
    return out.size();
  }

 private:
  std::size_t& given_;
  std::latch& gone_;
};

TEST(ReadAhead, StopsWithinItsSlotsWhenTheCallerStopsEarly) {
  std::size_t given = 0;
  std::latch gone(1);
  {
    auto wrapped = ReadAheadInput::wrap(std::make_unique<Endless>(given, gone));
    ASSERT_NE(dynamic_cast<ReadAheadInput*>(wrapped.get()), nullptr);
    std::uint8_t one[1];
    ASSERT_EQ(wrapped->read(one).value(), 1u);
  }
  gone.wait();
  // The caller holds the first slot, so the helper can fill no more than the ring.
  EXPECT_GE(given, kSlot);
  EXPECT_LE(given, ReadAheadInput::kSlots * kSlot);
}

// Its reads wait until released, as on a stalled network file system.
class Stalled final : public InputStream {
 public:
  Stalled(std::latch& release, std::latch& gone) : release_(release), gone_(gone) {}
  ~Stalled() override { gone_.count_down(); }
  Result<std::size_t> read(std::span<std::uint8_t>) override {
    release_.wait();
    return 0;
  }

 private:
  std::latch& release_;
  std::latch& gone_;
};

struct StopWhenWaiting : cancel::Check {
  bool stop(bool interrupted) override { return interrupted; }
};

TEST(ReadAhead, ACallerStopsWhileTheHelperHangsAndDoesNotWaitForIt) {
  std::latch release(1);
  std::latch gone(1);
  {
    auto wrapped = ReadAheadInput::wrap(std::make_unique<Stalled>(release, gone));
    ASSERT_NE(dynamic_cast<ReadAheadInput*>(wrapped.get()), nullptr);
    StopWhenWaiting check;
    const cancel::ScopedCheck scope(check);
    std::uint8_t one[1];
    const Result<std::size_t> got = wrapped->read(one);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), ErrorKind::Cancelled);
  }
  // Given up while the helper still waits in its read; it frees the stream after.
  release.count_down();
  gone.wait();
}

TEST(ReadAhead, HelpersTakeOnlyProcessorsNoReaderUses) {
  const unsigned processors = reading_threads::processors();
  ASSERT_GE(processors, 1u);
  {
    std::vector<std::unique_ptr<reading_threads::Reader>> readers(processors);
    for (auto& reader : readers) reader = std::make_unique<reading_threads::Reader>();
    EXPECT_FALSE(reading_threads::claim_helper());
    std::size_t given = 0;
    std::latch gone(1);
    auto stream = std::make_unique<Endless>(given, gone);
    InputStream* const raw = stream.get();
    EXPECT_EQ(ReadAheadInput::wrap(std::move(stream)).get(), raw) << "read on the caller's thread";
    EXPECT_EQ(given, 0u);

    readers.pop_back();
    EXPECT_TRUE(reading_threads::claim_helper());
    EXPECT_FALSE(reading_threads::claim_helper());
    reading_threads::release_helper();
  }
  EXPECT_TRUE(reading_threads::claim_helper()) << "every reader and helper gave its processor back";
  reading_threads::release_helper();
}

TEST(ReadAhead, GivesItsProcessorBackToLoadsThatCameLater) {
  const std::vector<Step> steps = {{Step::bytes, 9 * kSlot + 5}};
  Scripted direct(steps, kSlot);
  const std::vector<std::string> expected = transcript(direct, {8192});

  auto owned = std::make_unique<Scripted>(steps, kSlot);
  const Scripted& stream = *owned;
  auto wrapped = ReadAheadInput::wrap(std::move(owned));
  ASSERT_NE(dynamic_cast<ReadAheadInput*>(wrapped.get()), nullptr);
  std::vector<std::unique_ptr<reading_threads::Reader>> later(reading_threads::processors());
  for (auto& reader : later) reader = std::make_unique<reading_threads::Reader>();
  // Before the caller takes a slot the helper can fill only the ring; it
  // sees the later loads before it fills another.
  EXPECT_EQ(transcript(*wrapped, {8192}), expected);
  EXPECT_GE(stream.on_creator(), 9 - ReadAheadInput::kSlots);
  EXPECT_FALSE(reading_threads::crowded()) << "the helper gave its processor back";
}

TEST(ReadAhead, AForkedChildCountsNoneOfItsParentsLoads) {
  std::vector<std::unique_ptr<reading_threads::Reader>> readers(reading_threads::processors());
  for (auto& reader : readers) reader = std::make_unique<reading_threads::Reader>();
  ASSERT_FALSE(reading_threads::claim_helper());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(reading_threads::claim_helper() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child may read ahead";
}

// A file large enough to be read ahead: doubles, and int32 with timestamps.
std::vector<std::uint8_t> large_file_bytes(const std::string& path) {
  WriterBuilder builder;
  const std::size_t samples = 640 * 1024;
  for (std::uint16_t c = 0; c < 2; ++c) {
    ChannelDef def;
    def.name = c == 0 ? "doubles" : "stamped";
    def.data_type = c == 0 ? DataTypeId::Double : DataTypeId::Int32;
    EXPECT_TRUE(builder.add_channel(def));
  }
  std::vector<double> values(samples);
  std::iota(values.begin(), values.end(), 0.5);
  EXPECT_TRUE(builder.add_equidistant_segment_f64(0, 0, values, 1000.0));
  std::vector<std::int64_t> times(samples);
  std::vector<std::int32_t> counts(samples);
  std::iota(times.begin(), times.end(), 10);
  std::iota(counts.begin(), counts.end(), -7);
  EXPECT_TRUE(builder.add_timestamped_samples<std::int32_t>(1, times, counts));
  EXPECT_TRUE(write_to_file(std::move(builder), path));
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string file_outcome(const std::string& path) {
  auto loaded = DataManager::load_from_file(path);
  return loaded ? "ok:" + fuzz::fingerprint(*loaded) : "error:" + loaded.error().message();
}

TEST(ReadAhead, FileLoadsAsFromMemoryWholeAndCut) {
  const std::string path = ::testing::TempDir() + "qel_read_ahead.qel";
  std::vector<std::uint8_t> bytes = large_file_bytes(path);
  ASSERT_GE(bytes.size(), std::size_t{10} << 20);
  EXPECT_EQ(file_outcome(path), fuzz::load_outcome(bytes));
  ASSERT_TRUE(file_outcome(path).starts_with("ok:"));
  // Cut inside the last block, at a slot's edge, within the first slots, in
  // the metablock: shortest last, as the file is cut in place.
  for (const std::size_t cut : {bytes.size() - 5, 9 * kSlot, kSlot + 17, std::size_t{40}}) {
    bytes.resize(cut);
    std::filesystem::resize_file(path, cut);
    EXPECT_EQ(file_outcome(path), fuzz::load_outcome(bytes)) << "cut at " << cut;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace qel
