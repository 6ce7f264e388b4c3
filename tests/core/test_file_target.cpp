// Replacing a file: the new bytes are at the path after a commit, and nothing
// changes there, nor stays beside it, when the write ends any other way.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "qel/manager.hpp"
#include "qel/writer.hpp"
#include "test_support.hpp"
#include "writer/file_target.hpp"
#include "writer/gather_writer.hpp"

namespace qel {
namespace {

namespace fs = std::filesystem;

fs::path fresh_dir(const std::string& name) {
  const auto dir = fs::path(::testing::TempDir()) / ("qel_target_" + name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long entries(const fs::path& dir) {
  return std::distance(fs::directory_iterator(dir), {});
}

TEST(FileTarget, TheFileChangesAtTheCommitOnly) {
  const auto dir = fresh_dir("commit");
  const auto path = dir / "f.qel";
  std::ofstream(path) << "old";
  for (const bool commit : {false, true}) {
    auto target = FileTarget::open(path.string());
    ASSERT_TRUE(target) << target.error().message();
    EXPECT_FALSE(target->in_place());
    ASSERT_EQ(::write(target->fd(), "new", 3), 3);
    EXPECT_EQ(contents(path), "old");
    EXPECT_EQ(entries(dir), 2);
    if (commit) {
      EXPECT_TRUE(target->commit());
    }
  }
  EXPECT_EQ(contents(path), "new");
  EXPECT_EQ(entries(dir), 1);
}

TEST(FileTarget, AFailedCommitLeavesNothingBehind) {
  const auto dir = fresh_dir("failed");
  const auto path = dir / "f.qel";
  {
    auto target = FileTarget::open(path.string());
    ASSERT_TRUE(target) << target.error().message();
    // Something else takes the path meanwhile: a file cannot replace a directory.
    fs::create_directories(path / "inside");
    const Status committed = target->commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().message(), "I/O error: Is a directory (os error 21)");
  }
  EXPECT_EQ(entries(dir), 1);
}

int told_parent = -1;

// Tells the parent that the write is under way, and waits to be killed.
extern "C" void stop_here(int) {
  (void)!::write(told_parent, "w", 1);
  for (;;) ::pause();
}

// kill -9 in the middle of saving over a file. The child stops at a known
// point: the write that crosses its file-size limit raises SIGXFSZ, whose
// handler reports through a pipe and waits for the kill.
TEST(FileTarget, AKilledSaveLeavesTheOldFile) {
  const auto dir = fresh_dir("killed");
  const auto path = (dir / "f.qel").string();
  ASSERT_TRUE(write_to_file(test::ramp_builder(1000), path));
  const std::string old = contents(path);
  ASSERT_TRUE(
      write_to_file(test::ramp_builder(std::size_t{1} << 20), (dir / "source.qel").string()));
  auto source = DataManager::load_from_file((dir / "source.qel").string());
  ASSERT_TRUE(source) << source.error().message();
  fs::remove(dir / "source.qel");
  auto saved = WriterBuilder::from_manager(*source);
  ASSERT_TRUE(saved);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    told_parent = pipe_fds[1];
    ::signal(SIGXFSZ, stop_here);
    const rlimit limit{std::uint64_t{1} << 20, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    (void)write_to_file(std::move(*saved), path);
    ::_exit(1);  // the write got past the limit: the parent reads no byte
  }
  ::close(pipe_fds[1]);
  char byte = 0;
  const ssize_t got = ::read(pipe_fds[0], &byte, 1);
  ::close(pipe_fds[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(got, 1) << "the child never reached its file-size limit";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  EXPECT_EQ(contents(path), old);
  const auto loaded = DataManager::load_from_file(path);
  ASSERT_TRUE(loaded) << loaded.error().message();
  EXPECT_EQ(loaded->stats().blocks_truncated, 0u);
  // Only the killed process's unfinished new file lies beside it: hidden, and
  // named after the file.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(names[0].starts_with(".f.qel.") && names[0].ends_with(".tmp")) << names[0];
  EXPECT_EQ(names[1], "f.qel");
}

// Write-behind hands what was written to the disk as a hint only: the bytes
// are the same, and a descriptor that cannot take the hint (a pipe) is
// written all the same.
TEST(GatherWriter, WritesTheSameBytesWithWriteBehind) {
  std::vector<std::uint8_t> bytes(3 * GatherWriter::kWriteBehindBytes + 12345);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  const auto write_all = [&bytes](int fd) {
    GatherWriter out(fd, true);
    for (std::size_t at = 0; at < bytes.size(); at += 100'000) {
      const std::size_t size = std::min<std::size_t>(100'000, bytes.size() - at);
      const std::span piece(bytes.data() + at, size);
      const Status written = at % 200'000 == 0 ? out.write(piece) : out.write_borrowed(piece);
      ASSERT_TRUE(written) << written.error().message();
    }
    const Status flushed = out.flush();
    ASSERT_TRUE(flushed) << flushed.error().message();
  };

  const auto path = fresh_dir("write_behind") / "f.bin";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  write_all(fd);
  ::close(fd);
  EXPECT_EQ(contents(path), std::string(bytes.begin(), bytes.end()));

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  std::string piped;
  std::thread reader([&piped, in = pipe_fds[0]] {
    char chunk[65536];
    for (ssize_t got; (got = ::read(in, chunk, sizeof chunk)) > 0;) piped.append(chunk, got);
  });
  write_all(pipe_fds[1]);
  ::close(pipe_fds[1]);
  reader.join();
  ::close(pipe_fds[0]);
  EXPECT_EQ(piped, std::string(bytes.begin(), bytes.end()));
}

}  // namespace
}  // namespace qel
