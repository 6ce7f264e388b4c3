#include "qel/stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/fd_wait.hpp"
#include "qel/cancel.hpp"

namespace qel {

Result<std::size_t> read_full(InputStream& stream, std::span<std::uint8_t> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, stream.read(out.subspan(filled)));
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

Result<std::uint64_t> discard(InputStream& stream, std::uint64_t count) {
  std::array<std::uint8_t, 16384> scratch;
  std::uint64_t dropped = 0;
  while (dropped < count) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - dropped, scratch.size()));
    QEL_ASSIGN_OR_RETURN(const std::size_t got, stream.read(std::span(scratch).first(want)));
    if (got == 0) break;
    dropped += got;
  }
  return dropped;
}

Result<std::size_t> MemoryInputStream::read(std::span<std::uint8_t> out) {
  const std::size_t n = std::min(out.size(), bytes_.size());
  if (n > 0) std::memcpy(out.data(), bytes_.data(), n);
  bytes_ = bytes_.subspan(n);
  return n;
}

// A file that is not a regular file is read without blocking, and its waits
// go in slices (see fd_wait): opened so, a FIFO does not wait in the kernel
// for its writer, and a pipe whose writer is silent keeps asking the check.
// A regular file is read as before.
Result<std::unique_ptr<FileInputStream>> FileInputStream::open(const std::string& path) {
  int fd;
  while ((fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) < 0) {
    if (errno != EINTR) return std::unexpected(Error::io(errno));
    QEL_TRY(cancel::after_interrupt());
  }
  std::unique_ptr<FileInputStream> stream(new FileInputStream(fd));
  struct stat info;
  if (::fstat(fd, &info) != 0) return std::unexpected(Error::io(errno));
  if (S_ISREG(info.st_mode)) {
    stream->regular_ = true;
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      return std::unexpected(Error::io(errno));
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  } else if (S_ISFIFO(info.st_mode)) {
    // Read before a writer came, a FIFO would look empty; until one comes,
    // the kernel reports no hang-up, so this waits for data or a writer gone.
    QEL_TRY(fd_wait::until_ready(fd, POLLIN));
  }
  return stream;
}

FileInputStream::~FileInputStream() {
  ::close(fd_);
}

Result<std::size_t> FileInputStream::read(std::span<std::uint8_t> out) {
  for (;;) {
    const ssize_t got = ::read(fd_, out.data(), out.size());
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      QEL_TRY(fd_wait::until_ready(fd_, POLLIN));
    } else if (errno == EINTR) {
      QEL_TRY(cancel::after_interrupt());
    } else {
      return std::unexpected(Error::io(errno));
    }
  }
}

std::optional<std::uint64_t> FileInputStream::size() const noexcept {
  struct stat info;
  if (::fstat(fd_, &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace qel
