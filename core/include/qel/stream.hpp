#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "qel/error.hpp"

namespace qel {

// The byte source under every reader: a file, a decompressor over it, or
// memory. Reads are bulk; the end of the stream shows as a read of 0 bytes.
class InputStream {
 public:
  virtual ~InputStream() = default;
  // Reads up to out.size() bytes into `out`; returns how many came, 0 only at the end.
  virtual Result<std::size_t> read(std::span<std::uint8_t> out) = 0;
};

// Reads until `out` is full or the stream ends; returns how many bytes came.
Result<std::size_t> read_full(InputStream& stream, std::span<std::uint8_t> out);

// Reads and drops up to `count` bytes; returns how many were dropped.
Result<std::uint64_t> discard(InputStream& stream, std::uint64_t count);

class MemoryInputStream final : public InputStream {
 public:
  explicit MemoryInputStream(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// A file opened for reading; unbuffered, the reader adds its own buffer. One
// that is not a regular file (a FIFO, a pipe, a device) is read without
// blocking, and its waits ask the thread's cancellation check in slices.
class FileInputStream final : public InputStream {
 public:
  static Result<std::unique_ptr<FileInputStream>> open(const std::string& path);
  ~FileInputStream() override;
  FileInputStream(const FileInputStream&) = delete;
  FileInputStream& operator=(const FileInputStream&) = delete;

  Result<std::size_t> read(std::span<std::uint8_t> out) override;
  // Size as the file system reports it; absent when it cannot tell.
  std::optional<std::uint64_t> size() const noexcept;
  // A regular file: its reads never wait on a writer.
  bool regular() const noexcept { return regular_; }

 private:
  explicit FileInputStream(int fd) noexcept : fd_(fd) {}
  int fd_;
  bool regular_ = false;
};

}  // namespace qel
