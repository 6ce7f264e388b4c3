// Which sink a record reaches: the one installed last on the writing thread,
// the outer one again once the inner scope has ended, and never one installed
// on another thread (the check that nobody listens looks at every thread's
// sinks first).

#include <gtest/gtest.h>

#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "qel/log.hpp"

namespace {

using qel::log::CapturingSink;
using qel::log::ScopedSink;

constexpr std::string_view kTarget = qel::log::kReader;

std::vector<std::string> messages(const CapturingSink& sink) {
  std::vector<std::string> out;
  for (const auto& record : sink.records) out.push_back(record.message);
  return out;
}

TEST(LogSinks, InnermostScopeOfTheWritingThreadGetsTheRecords) {
  CapturingSink theirs;
  std::latch installed(1);
  std::latch done(1);
  std::thread other([&] {
    const ScopedSink scope(theirs);
    installed.count_down();
    done.wait();
    QEL_WARN(kTarget, "theirs");
  });
  installed.wait();
  EXPECT_FALSE(qel::log::enabled(qel::log::Level::Warn, kTarget));
  CapturingSink outer;
  CapturingSink inner;
  {
    const ScopedSink outer_scope(outer);
    QEL_WARN(kTarget, "one");
    {
      const ScopedSink inner_scope(inner);
      QEL_WARN(kTarget, "two");
    }
    QEL_DEBUG(kTarget, "three");
  }
  QEL_WARN(kTarget, "nobody listens");
  done.count_down();
  other.join();
  EXPECT_EQ(messages(theirs), (std::vector<std::string>{"theirs"}));
  EXPECT_EQ(messages(outer), (std::vector<std::string>{"one", "three"}));
  EXPECT_EQ(messages(inner), (std::vector<std::string>{"two"}));
}

}  // namespace
