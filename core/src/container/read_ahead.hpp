#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "qel/error.hpp"
#include "qel/stream.hpp"

namespace qel {

// A stream read ahead on a helper thread, so that the kernel's copy of the
// next bytes runs beside the decoding of the last. The helper fills a ring of
// slots; the caller takes the bytes in order, then, once the helper has met
// the end or a failure, the failure once, and from then on reads the stream
// itself. A helper gives its processor back, between two slots, when loads
// that came later need it. Only for a stream whose reads cannot wait on a peer (a regular
// file): the helper is not asked about cancellation, and stopping it waits
// for its current read.
class ReadAheadInput final : public InputStream {
 public:
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kSlotBytes = std::size_t{512} << 10;

  // The stream read ahead, or `stream` itself when no processor is free for
  // a helper, or its memory or thread cannot be had.
  static std::unique_ptr<InputStream> wrap(std::unique_ptr<InputStream> stream);

  ~ReadAheadInput() override;
  ReadAheadInput(const ReadAheadInput&) = delete;
  ReadAheadInput& operator=(const ReadAheadInput&) = delete;

  Result<std::size_t> read(std::span<std::uint8_t> out) override;

 private:
  explicit ReadAheadInput(std::unique_ptr<std::uint8_t[]> slots) noexcept
      : slots_(std::move(slots)) {}

  std::span<std::uint8_t> slot(std::size_t index) noexcept {
    return {slots_.get() + index * kSlotBytes, kSlotBytes};
  }
  // What one slot's reads gave: bytes, then perhaps the end or a failure.
  struct Filled {
    std::size_t size = 0;
    bool ended = false;
    std::optional<Error> failure;
  };

  // The helper's loop, and the filling of one slot: until it is full or
  // the stream ends or fails.
  void run() noexcept;
  Filled fill(std::span<std::uint8_t> into);
  // Joins the helper once it has ended and its bytes are taken; then the
  // failure it met, or the end, or, when it gave its processor back, the
  // stream's own read.
  Result<std::size_t> finish(std::span<std::uint8_t> out);
  void stop() noexcept;

  std::unique_ptr<InputStream> stream_;
  std::unique_ptr<std::uint8_t[]> slots_;
  std::thread helper_;
  bool helper_joined_ = false;
  std::size_t taken_ = 0;  // of the first ready slot, by the caller

  std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_: the ring's filled slots, and how the helper ended.
  std::size_t first_ = 0;
  std::size_t ready_ = 0;
  std::size_t sizes_[kSlots] = {};
  bool stopping_ = false;
  bool ended_ = false;
  bool at_end_ = false;
  std::optional<Error> failure_;
};

}  // namespace qel
