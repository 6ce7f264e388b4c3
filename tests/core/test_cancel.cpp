// Stopping long work: which check is asked and when, and that a load or a
// write told to stop ends with the cancelled error and leaves nothing behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
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

// 16 MiB of doubles: four checkpoints of a write.
constexpr std::size_t kSamples = std::size_t{2} << 20;

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

// A signal that one thread takes interrupts no system call of another; a load
// or a save waiting for the other end of a FIFO still sees the check it set.
std::atomic<bool> signalled{false};

void note_signal(int) {
  signalled = true;
}

struct SignalledCheck : cancel::Check {
  bool stop(bool) override { return signalled; }
};

// (what the test holds of the FIFO's other end, the call that waits)
struct FifoWait {
  const char* name;
  int other_end;  // open() flags, or -1 for none
  std::function<Status(const std::string&)> call;
};

Status load(const std::string& path) {
  auto loaded = DataManager::load_from_file(path);
  if (loaded) return {};
  return std::unexpected(std::move(loaded).error());
}

Status save(const std::string& path) {
  // 2 MiB, many times what a pipe holds.
  return write_to_file(test::ramp_builder(std::size_t{1} << 18), path);
}

class SignalToAnotherThread : public ::testing::TestWithParam<FifoWait> {};

TEST_P(SignalToAnotherThread, EndsTheWaitForAFifo) {
  const std::string fifo = ::testing::TempDir() + "qel_cancel_" + GetParam().name + ".fifo";
  std::filesystem::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct sigaction noting {};
  struct sigaction previous {};
  noting.sa_handler = note_signal;
  ASSERT_EQ(::sigaction(SIGUSR1, &noting, &previous), 0);
  signalled = false;
  // A reader is opened without blocking; a writer waits for the load's open.
  const int other_end = GetParam().other_end;
  const int held = other_end == O_RDONLY ? ::open(fifo.c_str(), other_end | O_NONBLOCK) : -1;
  Status result;
  std::thread waiting([&] {
    SignalledCheck check;
    const cancel::ScopedCheck scope(check);
    result = GetParam().call(fifo);
  });
  const int writer = other_end == O_WRONLY ? ::open(fifo.c_str(), other_end) : -1;
  // The waiting thread may not even have started: it has to see the check
  // whenever the signal comes.
  ASSERT_EQ(::pthread_kill(::pthread_self(), SIGUSR1), 0);
  waiting.join();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), ErrorKind::Cancelled);
  for (const int fd : {held, writer}) {
    if (fd >= 0) ::close(fd);
  }
  ::sigaction(SIGUSR1, &previous, nullptr);
  std::filesystem::remove(fifo);
}

INSTANTIATE_TEST_SUITE_P(Cancel, SignalToAnotherThread,
                         ::testing::Values(FifoWait{"load_waiting_for_a_writer", -1, load},
                                           FifoWait{"load_waiting_for_data", O_WRONLY, load},
                                           FifoWait{"save_waiting_for_a_reader", -1, save},
                                           FifoWait{"save_waiting_for_room", O_RDONLY, save}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qel
