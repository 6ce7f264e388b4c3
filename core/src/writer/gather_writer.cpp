#include "writer/gather_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/fd_wait.hpp"
#include "qel/cancel.hpp"

namespace qel {
namespace {

// Pieces per writev, well below every system's IOV_MAX.
constexpr std::size_t kMaxPieces = 512;
// Bytes queued before they are written out, so the kernel keeps getting work.
constexpr std::size_t kMaxPendingBytes = std::size_t{4} << 20;

// A write interrupted before it began, or cut short on a descriptor that
// blocks, was stopped by a signal (or, cut short, reached a limit that the
// next write reports): the thread's cancellation check decides whether to go
// on. On one that does not block, a write cut short only filled what there
// was room for, and the next one waits for more room in slices.
Status write_all(int fd, bool blocks, std::span<iovec> pieces, cancel::Checkpoints& checkpoints) {
  while (!pieces.empty()) {
    const ssize_t written = ::writev(fd, pieces.data(), static_cast<int>(pieces.size()));
    if (written < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        QEL_TRY(fd_wait::until_ready(fd, POLLOUT));
      } else if (errno == EINTR) {
        QEL_TRY(cancel::after_interrupt());
      } else {
        return std::unexpected(Error::io(errno));
      }
      continue;
    }
    auto left = static_cast<std::size_t>(written);
    QEL_TRY(checkpoints.advance(left));
    while (!pieces.empty() && left >= pieces.front().iov_len) {
      left -= pieces.front().iov_len;
      pieces = pieces.subspan(1);
    }
    if (left > 0) {
      pieces.front().iov_base = static_cast<std::uint8_t*>(pieces.front().iov_base) + left;
      pieces.front().iov_len -= left;
    }
    if (blocks && !pieces.empty()) QEL_TRY(cancel::after_interrupt());
  }
  return {};
}

// Allocates the blocks before they are written, as a hint: otherwise ext4
// defers the allocation, and closing a file it truncated then writes the whole
// file out to disk before close returns.
void allocate([[maybe_unused]] int fd, [[maybe_unused]] std::uint64_t offset,
              [[maybe_unused]] std::size_t bytes) {
#if defined(FALLOC_FL_KEEP_SIZE)
  if (bytes > 0) {
    (void)::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                      static_cast<off_t>(bytes));
  }
#endif
}

}  // namespace

GatherWriter::GatherWriter(int fd, bool write_behind)
    : fd_(fd),
      blocks_((::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferBytes)),
      write_behind_(write_behind) {
  pending_.reserve(kMaxPieces);
}

GatherWriter::GatherWriter(GatherWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      blocks_(other.blocks_),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)),
      pending_(std::move(other.pending_)),
      pending_bytes_(std::exchange(other.pending_bytes_, 0)),
      offset_(std::exchange(other.offset_, 0)),
      borrowed_(std::exchange(other.borrowed_, false)),
      write_behind_(other.write_behind_),
      unsynced_(std::exchange(other.unsynced_, 0)) {}

Status GatherWriter::write(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kBufferBytes - used_) {
    QEL_TRY(flush());
    if (bytes.size() > kBufferBytes) {
      QEL_TRY(write_borrowed(bytes));
      return flush();
    }
  }
  if (bytes.empty()) return {};
  std::uint8_t* copy = buffer_.get() + used_;
  std::memcpy(copy, bytes.data(), bytes.size());
  used_ += bytes.size();
  // Consecutive copies form one piece.
  if (!pending_.empty() &&
      static_cast<std::uint8_t*>(pending_.back().iov_base) + pending_.back().iov_len == copy) {
    pending_.back().iov_len += bytes.size();
    pending_bytes_ += bytes.size();
    return {};
  }
  return queue({copy, bytes.size()});
}

Status GatherWriter::write_borrowed(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  borrowed_ = true;
  return queue(bytes);
}

Status GatherWriter::queue(std::span<const std::uint8_t> bytes) {
  pending_.push_back({const_cast<std::uint8_t*>(bytes.data()), bytes.size()});
  pending_bytes_ += bytes.size();
  if (pending_.size() >= kMaxPieces || pending_bytes_ >= kMaxPendingBytes) return flush();
  return {};
}

Status GatherWriter::flush() {
  // A file written behind is synced before it is closed, so its blocks are
  // allocated as it goes out, and the hint would only cost a call.
  if (!write_behind_) allocate(fd_, offset_, pending_bytes_);
  Status written = write_all(fd_, blocks_, pending_, checkpoints_);
  offset_ += pending_bytes_;
  pending_.clear();
  pending_bytes_ = 0;
  used_ = 0;
  borrowed_ = false;
  if (written && write_behind_ && offset_ - unsynced_ >= kWriteBehindBytes) start_writeback();
  return written;
}

// Only starts the writing out and waits for nothing; a failure to write shows
// in the sync at the end, so the hint's own result does not matter.
void GatherWriter::start_writeback() noexcept {
#if defined(SYNC_FILE_RANGE_WRITE)
  (void)::sync_file_range(fd_, static_cast<off_t>(unsynced_),
                          static_cast<off_t>(offset_ - unsynced_), SYNC_FILE_RANGE_WRITE);
#endif
  unsynced_ = offset_;
}

}  // namespace qel
