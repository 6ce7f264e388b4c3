// Stopping long work: which check is asked and when, and that a load or a
// write told to stop ends with the cancelled error and leaves nothing behind.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qel/cancel.hpp"
#include "qel/manager.hpp"
#include "qel/stream.hpp"
#include "qel/writer.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

// Says stop from its `stop_at`-th question on (never for 0), and records them.
struct Recorder : cancel::Check {
  explicit Recorder(std::size_t stop_from = 0) : stop_at(stop_from) {}
  bool stop(bool interrupted) override {
    asked.push_back(interrupted);
    return stop_at != 0 && asked.size() >= stop_at;
  }
  std::size_t stop_at;
  std::vector<bool> asked;
};

TEST(Cancel, CheckpointsAskTheInnermostCheckOfTheirThread) {
  Recorder theirs(1);
  std::latch installed(1);
  std::latch done(1);
  std::thread other([&] {
    const cancel::ScopedCheck scope(theirs);
    installed.count_down();
    done.wait();
  });
  installed.wait();
  EXPECT_TRUE(cancel::after_interrupt()) << "nothing installed here: nothing stops";
  Recorder outer;
  Recorder inner(2);
  {
    const cancel::ScopedCheck outer_scope(outer);
    cancel::Checkpoints checkpoints;
    for (int i = 0; i < 7; ++i) EXPECT_TRUE(checkpoints.advance(cancel::kCheckpointBytes / 2));
    {
      const cancel::ScopedCheck inner_scope(inner);
      EXPECT_TRUE(cancel::after_interrupt());
      const Status stopped = cancel::after_interrupt();
      ASSERT_FALSE(stopped);
      EXPECT_EQ(stopped.error().kind(), ErrorKind::Cancelled);
      EXPECT_EQ(stopped.error().message(), "operation cancelled");
    }
    EXPECT_TRUE(checkpoints.advance(cancel::kCheckpointBytes - 1));
  }
  done.count_down();
  other.join();
  EXPECT_EQ(outer.asked, (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(inner.asked, (std::vector<bool>{true, true}));
  EXPECT_TRUE(theirs.asked.empty());
}

constexpr std::size_t kSamples = std::size_t{3} << 20;  // 24 MiB of doubles

std::vector<char> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A stopped write leaves the old file and nothing beside it; a stopped load of
// that file returns the error. Every write and load passes checkpoints.
TEST(Cancel, StoppedWriteAndLoadLeaveNothing) {
  const auto dir = std::filesystem::path(::testing::TempDir()) / "qel_cancel";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "f.qel").string();
  ASSERT_TRUE(write_to_file(test::ramp_builder(kSamples), path));
  const auto old = read_bytes(path);
  for (const std::size_t stop_at : {1, 3}) {
    Recorder check(stop_at);
    const cancel::ScopedCheck scope(check);
    const Status written = write_to_file(test::ramp_builder(kSamples, 2.0), path);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().kind(), ErrorKind::Cancelled);
    EXPECT_EQ(check.asked, std::vector<bool>(stop_at, false));
    const auto loaded = DataManager::load_from_file(path);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind(), ErrorKind::Cancelled);
  }
  EXPECT_EQ(read_bytes(path), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

  Recorder never;
  const cancel::ScopedCheck scope(never);
  auto loaded = DataManager::load_from_stream(
      std::make_unique<MemoryInputStream>(
          std::span(reinterpret_cast<const std::uint8_t*>(old.data()), old.size())),
      old.size());
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_GE(never.asked.size(), old.size() / cancel::kCheckpointBytes - 1);
}

}  // namespace
}  // namespace qel
