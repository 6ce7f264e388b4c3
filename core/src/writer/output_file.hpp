#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "qel/error.hpp"
#include "writer/file_target.hpp"

namespace qel {

// A file created for writing, with gathered output: small pieces are copied
// into one buffer, bulk sample data is queued where it lies and handed to the
// kernel together with them in one writev, so it is never copied in between.
// The file lands at its path only when close() succeeds (see FileTarget).
class OutputFile {
 public:
  static constexpr std::size_t kBufferBytes = std::size_t{256} << 10;

  static Result<OutputFile> create(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Without a successful close() the write failed: what is pending is
  // dropped, and the path keeps what it had.
  ~OutputFile() = default;

  // Copies `bytes`; the caller may reuse its memory at once.
  Status write(std::span<const std::uint8_t> bytes);
  // Queues `bytes` without copying; they must stay alive and unchanged until
  // close() or the destructor.
  Status write_borrowed(std::span<const std::uint8_t> bytes);
  // Writes out everything pending and puts the file at its path, reporting
  // any failure.
  Status close();

 private:
  explicit OutputFile(FileTarget target);
  Status queue(std::span<const std::uint8_t> bytes);
  Status flush();

  FileTarget target_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::vector<iovec> pending_;
  std::size_t pending_bytes_ = 0;
  std::uint64_t offset_ = 0;
};

}  // namespace qel
