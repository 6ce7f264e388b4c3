#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "container/buffered_input.hpp"
#include "qel/compression.hpp"
#include "qel/error.hpp"
#include "qel/stream.hpp"

namespace qel {

// Bytes of a file's stream (inflated, when the file is compressed) by their
// position in it.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills `out` from `offset` on; fewer bytes only at the end of the stream.
  virtual Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
};

// A regular file read with positioned reads; shared by every read of an
// opened file, from any thread.
class PlainFile {
 public:
  static Result<std::shared_ptr<const PlainFile>> open(const std::string& path);
  ~PlainFile();
  PlainFile(const PlainFile&) = delete;
  PlainFile& operator=(const PlainFile&) = delete;

  Result<std::size_t> read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;
  std::uint64_t size() const noexcept { return size_; }

 private:
  PlainFile(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
  int fd_;
  std::uint64_t size_;
};

// The source of one read: the shared file itself, or, when it is
// compressed, the file inflated anew for this read.
Result<std::unique_ptr<ByteSource>> open_source(std::shared_ptr<const PlainFile> file,
                                                bool compressed);

// A piece of the stream the block reader is shown: bytes of the source, or
// bytes made up for it.
struct PlanItem {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  // Present for made-up bytes; `offset` is then unused.
  std::shared_ptr<const std::vector<std::uint8_t>> bytes;
};

// The items one after another, as one stream.
class PlanStream final : public InputStream {
 public:
  PlanStream(ByteSource& source, std::vector<PlanItem> items) noexcept
      : source_(source), items_(std::move(items)) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override;

 private:
  ByteSource& source_;
  std::vector<PlanItem> items_;
  std::size_t item_ = 0;
  std::uint64_t done_ = 0;  // of the current item
};

}  // namespace qel
