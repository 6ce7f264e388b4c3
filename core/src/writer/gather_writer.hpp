#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "qel/cancel.hpp"
#include "qel/error.hpp"

namespace qel {

// Gathered output to an open file descriptor: small pieces are copied into one
// buffer, bulk sample data is queued where it lies, and both are handed to the
// kernel together in one writev, so bulk data is never copied in between.
// Every few MiB written pass a checkpoint of the thread's cancellation check.
class GatherWriter {
 public:
  static constexpr std::size_t kBufferBytes = std::size_t{256} << 10;
  // How much is written before it is handed to the disk, with write-behind.
  static constexpr std::size_t kWriteBehindBytes = std::size_t{8} << 20;

  // Writes to `fd`, which the caller keeps open for the writer's lifetime.
  // With `write_behind`, for a file that will be synced when done, what was
  // written goes to the disk while the rest is being written, so the sync at
  // the end waits for the last few MiB only instead of the whole file.
  explicit GatherWriter(int fd, bool write_behind = false);
  GatherWriter(GatherWriter&& other) noexcept;
  GatherWriter& operator=(GatherWriter&&) = delete;
  GatherWriter(const GatherWriter&) = delete;
  GatherWriter& operator=(const GatherWriter&) = delete;
  ~GatherWriter() = default;

  // Copies `bytes`; the caller may reuse its memory at once.
  Status write(std::span<const std::uint8_t> bytes);
  // Queues `bytes` without copying; they must stay alive and unchanged until
  // the next flush().
  Status write_borrowed(std::span<const std::uint8_t> bytes);
  // Hands everything queued to the kernel.
  Status flush();
  // Whether borrowed bytes wait for the next flush().
  bool holds_borrowed() const noexcept { return borrowed_; }

 private:
  Status queue(std::span<const std::uint8_t> bytes);
  void start_writeback() noexcept;

  int fd_;
  // Whether writes to fd_ wait in the kernel (else they wait here, in slices).
  bool blocks_;
  cancel::Checkpoints checkpoints_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::vector<iovec> pending_;
  std::size_t pending_bytes_ = 0;
  std::uint64_t offset_ = 0;
  bool borrowed_ = false;
  bool write_behind_;
  // Where the bytes not yet handed to the disk begin.
  std::uint64_t unsynced_ = 0;
};

}  // namespace qel
