#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "container/buffered_input.hpp"
#include "payload/block.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/meta.hpp"
#include "qel/stats.hpp"
#include "qel/stream.hpp"

namespace qel {

// Where the values of large equidistant runs are placed straight from the
// stream, so they are copied once instead of passing through the payload
// buffer. A placed run is begun, extended as its bytes arrive, and then
// either yielded (`NumericRun::placed`) or cancelled (truncated block, CRC
// failure).
class PlacedRunTarget {
 public:
  virtual ~PlacedRunTarget() = default;
  // Whether channel `index` takes a run of this kind in place; when not, the
  // block goes through the payload buffer as usual.
  virtual bool begin_placed(std::uint16_t index, bool starts_segment) = 0;
  // Room for `count` more values at the end of the begun run.
  virtual std::uint8_t* extend_placed(std::uint16_t index, std::size_t count) = 0;
  // Drops the begun run and everything it did.
  virtual void cancel_placed(std::uint16_t index) = 0;
};

// Why a block of this kind (control byte & 0x7F) is passed over, or nothing
// when it is decoded.
std::optional<SkipReason> skip_reason(std::uint8_t kind, bool multi, const DataType& type);

// Walks the block area of one file: one item per block frame, signature block
// or trailer, counting everything in its statistics.
class BlockReader {
 public:
  // `input` is positioned just after the metablock. The statistics' clock
  // starts here.
  BlockReader(BufferedInput input, const MetaBlock& meta);

  // Frame CRCs and signature blocks are expected unless the profile is none.
  void set_integrity(IntegrityProfile profile) noexcept { integrity_ = profile; }
  // Large multi-sample equidistant runs of numeric channels are placed in
  // `target`, which must outlive the reader.
  void set_placed_target(PlacedRunTarget* target) noexcept { placed_target_ = target; }

  // The next block, or nothing once the block area has ended. The payload
  // views of a decoded block stay valid until the next call.
  Result<std::optional<DecodedBlock>> next();

  // The statistics as of now, totals computed.
  ReaderStats stats() const;

 private:
  struct ChannelEntry {
    DataType data_type;
    std::uint8_t length_width;
    ChannelStats* stats;  // a node of stats_.channels, which stays put
  };
  using Item = Result<std::optional<DecodedBlock>>;
  // Runs from this size on are offered to the placed-run target.
  static constexpr std::uint32_t kPlacedRunMinBytes = 16384;
  // The frame being read, up to its length field.
  struct Frame {
    std::uint16_t index;
    std::span<const std::uint8_t, 2> index_bytes;
    std::span<const std::uint8_t> length_field;
    std::uint32_t length;
  };

  Item end() noexcept;
  Item truncated() noexcept;
  Item fail(Error error) noexcept;
  Item read_trailer();
  Item read_signature();
  Item read_frame(std::uint16_t index, std::span<const std::uint8_t, 2> index_bytes,
                  const ChannelEntry& channel);
  // A payload of which `have` bytes are in the buffer already.
  Item read_buffered(const Frame& frame, const ChannelEntry& channel, std::size_t have);
  // The same for a payload longer than the input's window, or partly read.
  Item read_long(const Frame& frame, const ChannelEntry& channel, std::size_t have);
  // Counts the whole payload, checks its CRC and decodes it.
  Item checked(const Frame& frame, const ChannelEntry& channel,
               std::span<const std::uint8_t> payload);
  // A block the control byte in the buffer skips: the rest of it is read
  // through a piece of the buffer, its CRC checked on the way.
  Item skip_streamed(const Frame& frame, std::size_t have, SkipReason reason);
  Item read_placed(const Frame& frame, const ChannelEntry& channel);
  Item skip_unsupported(std::uint16_t index, std::uint32_t length);
  Item decode(std::uint16_t index, const ChannelEntry& channel, std::uint32_t length,
              std::span<const std::uint8_t> payload);
  template <class Kind, class Payload>
  Item decoded(std::uint16_t index, const ChannelEntry& channel, std::uint32_t length,
               Result<Payload> payload);
  Item skip(std::uint16_t index, std::uint32_t length, SkipReason reason,
            std::optional<std::uint8_t> kind = std::nullopt);
  void count_decoded(const ChannelEntry& channel, std::uint32_t length, const BlockKind& block);
  template <class Payload>
  void count_payload(const ChannelEntry& channel, std::uint32_t length, const Payload& payload);
  void add_channel(std::uint16_t index, ChannelEntry entry);
  const ChannelEntry* find_channel(std::uint16_t index) const noexcept {
    const std::uint32_t slot = index < slots_.size() ? slots_[index] : 0;
    return slot == 0 ? nullptr : &entries_[slot - 1];
  }

  // Fills `out`; false when the stream ended first. Errors finish the reader.
  // Inline: every block comes through here, and a copy of a size known at
  // the call is a single move.
  Result<bool> read_field(std::span<std::uint8_t> out) {
    auto got = input_.read(out);
    if (!got) {
      finished_ = true;
      return std::unexpected(std::move(got).error());
    }
    return *got == out.size();
  }
  // Reads and drops `count` bytes; how many there were. Errors finish the reader.
  Result<std::uint64_t> drop(std::uint64_t count);
  // The start of a payload that fits the input's window, viewed there;
  // null when the stream ended first. Inline for the same reason as
  // read_field.
  Result<const std::uint8_t*> take_payload(std::uint32_t length) {
    auto taken = input_.take(length);
    if (!taken) {
      finished_ = true;
      return std::unexpected(std::move(taken).error());
    }
    return taken->size() < length ? nullptr : taken->data();
  }
  // Reads `length` payload bytes into the reused buffer, of which the first
  // `have` are there already, growing it only as the bytes arrive; false when
  // the stream ended first.
  Result<bool> read_payload(std::uint32_t length, std::size_t have);
  // Reads the head of a multi-sample equidistant run into the buffer; its
  // size, or 0 when the stream ended first.
  Result<std::size_t> read_placed_head();
  enum class FrameEnd : std::uint8_t { intact, corrupt, truncated };
  Result<FrameEnd> read_placed_body(const Frame& frame, std::size_t head, std::size_t value_bytes,
                                    std::size_t width);
  // The CRC of the frame's head and of the first `have` payload bytes, which
  // are in the buffer; 0 when frames carry none.
  std::uint32_t head_crc(const Frame& frame, std::size_t have) const noexcept;
  // Reads the `count` payload bytes before the frame's CRC through a piece of
  // the buffer of a fixed size, extending `crc` over them, then the CRC, and
  // compares; the one loop that streams a block's bytes past.
  Result<FrameEnd> stream_to_end(std::uint64_t count, std::uint32_t crc);
  // Fills `out`, extending `crc` over it when frames carry CRCs.
  Result<bool> read_checked(std::span<std::uint8_t> out, std::uint32_t& crc);
  std::size_t crc_bytes() const noexcept { return integrity_ == IntegrityProfile::none ? 0 : 4; }

  BufferedInput input_;
  // Looked up for every block, so by a direct table: one plus the position in
  // entries_ for each channel index up to the largest defined, 0 for none.
  std::vector<ChannelEntry> entries_;
  std::vector<std::uint32_t> slots_;
  ReaderStats stats_;
  IntegrityProfile integrity_ = IntegrityProfile::none;
  bool strings_terminated_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point started_;
  std::vector<std::uint8_t> buffer_;
  PlacedRunTarget* placed_target_ = nullptr;
};

}  // namespace qel
