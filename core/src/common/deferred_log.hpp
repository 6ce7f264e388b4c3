#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qel/log.hpp"

namespace qel::log {

// Keeps the records written on this thread while it is installed, so that
// the installing code can pass them on later in an order of its own; which
// records are wanted, it asks the sink that was installed before it.
class DeferringSink final : public Sink {
 public:
  DeferringSink() noexcept;
  bool enabled(Level level, std::string_view target) const override;
  void write(Level level, std::string_view target, std::string message) override;
  // The records kept since the last take().
  std::vector<Record> take() noexcept {
    std::vector<Record> taken;
    taken.swap(records_);
    return taken;
  }

 private:
  Sink* outer_;
  std::vector<Record> records_;
};

// Writes records to the thread's sink, in order.
void replay(std::vector<Record>& records);

}  // namespace qel::log
