#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
// that came later need it. Only for a stream that needs no cancellation check
// of its own (a regular file): the helper is never interrupted, while the
// caller's waits for it ask the caller's check in slices, and a caller that
// stops does not wait for the helper's last read.
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
  // The stream, the ring and how the helper ended: shared with the helper,
  // which frees them when it outlives a caller that stopped.
  struct State;

  explicit ReadAheadInput(std::shared_ptr<State> state) noexcept;
  // Joins the helper once it has ended and its bytes are taken; then the
  // failure it met, or the end, or, when it gave its processor back, the
  // stream's own read.
  Result<std::size_t> finish(std::span<std::uint8_t> out);

  std::shared_ptr<State> state_;
  std::thread helper_;     // joined once it ended, then the stream is read here
  std::size_t taken_ = 0;  // of the first ready slot
};

}  // namespace qel
