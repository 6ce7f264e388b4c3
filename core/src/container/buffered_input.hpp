#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "qel/cancel.hpp"
#include "qel/error.hpp"
#include "qel/stream.hpp"

namespace qel {

// The one read buffer of the read path: a stream read through a small window,
// so the many small fields of short blocks cost a copy each rather than a
// read call each. Reads larger than the window go straight into the caller's
// memory once the window is drained. Every few MiB that come from the stream
// pass a checkpoint of the thread's cancellation check.
class BufferedInput final : public InputStream {
 public:
  static constexpr std::size_t kWindowBytes = 8192;

  explicit BufferedInput(std::unique_ptr<InputStream> stream)
      : stream_(std::move(stream)), window_(kWindowBytes) {}

  // Fills `out`; returns how many bytes came, fewer only at the end.
  // Inline, and final: the block reader calls it for every field.
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (out.size() > end_ - begin_) return read_through(out);
    std::memcpy(out.data(), window_.data() + begin_, out.size());
    begin_ += out.size();
    return out.size();
  }

  // Consumes the next `n` bytes (at most kWindowBytes) and returns them as a
  // view valid until the next call; shorter only at the end.
  Result<std::span<const std::uint8_t>> take(std::size_t n);

  // The next `n` bytes (at most kWindowBytes) without consuming them, valid
  // until the next call; shorter only at the end.
  Result<std::span<const std::uint8_t>> peek(std::size_t n);

  // Reads and drops up to `count` bytes; returns how many were dropped.
  Result<std::uint64_t> discard(std::uint64_t count);

 private:
  // One read of the stream, counted towards the next checkpoint.
  Result<std::size_t> pull(std::span<std::uint8_t> out);
  Result<std::size_t> read_through(std::span<std::uint8_t> out);
  std::size_t copy_out(std::span<std::uint8_t> out) noexcept;
  // Moves the unread bytes to the front and reads until `n` are buffered or
  // the stream ends.
  Status fill(std::size_t n);

  std::unique_ptr<InputStream> stream_;
  std::vector<std::uint8_t> window_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  cancel::Checkpoints checkpoints_;
};

}  // namespace qel
