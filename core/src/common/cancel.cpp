#include "qel/cancel.hpp"

namespace qel::cancel {
namespace {
thread_local Check* current_check = nullptr;

Status ask(bool interrupted) {
  if (current_check != nullptr && current_check->stop(interrupted)) {
    return std::unexpected(Error::cancelled());
  }
  return {};
}
}  // namespace

ScopedCheck::ScopedCheck(Check& check) noexcept : previous_(current_check) {
  current_check = &check;
}

ScopedCheck::~ScopedCheck() {
  current_check = previous_;
}

Status after_interrupt() {
  return ask(true);
}

Status Checkpoints::reached() {
  return ask(false);
}

}  // namespace qel::cancel
