#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "memory/reclaimer.hpp"

namespace qel::array_memory {
namespace {

// The signal mask of this process's thread named `name`, once it exists.
std::optional<unsigned long long> blocked_signals_of(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string task_name;
    if (!std::getline(comm, task_name) || task_name != name) continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return std::nullopt;
}

// A signal sent to the process must reach a thread that waits for it (a load
// blocked in a read), never the thread that gives memory back.
TEST(Reclaimer, ThreadBlocksEverySignal) {
  Reclaimer::shared().wake(Clock::now() + std::chrono::hours(1));
  std::optional<unsigned long long> blocked;
  while (!(blocked = blocked_signals_of("qel-reclaim"))) std::this_thread::yield();
  for (const int signal : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) {
    EXPECT_NE(*blocked & (1ULL << (signal - 1)), 0U) << "signal " << signal;
  }
}

}  // namespace
}  // namespace qel::array_memory
