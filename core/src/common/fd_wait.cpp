#include "common/fd_wait.hpp"

#include <poll.h>

#include <cerrno>

#include "qel/cancel.hpp"

namespace qel::fd_wait {

Status until_ready(int fd, short events) {
  pollfd watched{.fd = fd, .events = events, .revents = 0};
  for (;;) {
    const int ready = ::poll(&watched, 1, kSliceMilliseconds);
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) return std::unexpected(Error::io(errno));
    QEL_TRY(cancel::after_interrupt());
  }
}

Status one_slice() {
  if (::poll(nullptr, 0, kSliceMilliseconds) < 0 && errno != EINTR) {
    return std::unexpected(Error::io(errno));
  }
  return cancel::after_interrupt();
}

}  // namespace qel::fd_wait
