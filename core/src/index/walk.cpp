#include "index/walk.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.hpp"
#include "common/wire.hpp"
#include "container/reader.hpp"
#include "qel/cancel.hpp"

namespace qel {
namespace {

// Heads are read through a window: after a jump over a payload only a few
// bytes, as the next head is likely all that is needed there; where heads
// follow each other closely, the window doubles up to its full size.
constexpr std::size_t kJumpWindow = 512;
constexpr std::size_t kHeadWindow = std::size_t{64} << 10;

class PlainHeads final : public HeadInput {
 public:
  PlainHeads(std::shared_ptr<const PlainFile> file, std::uint64_t offset)
      : file_(std::move(file)), position_(offset), window_(kHeadWindow) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    std::size_t filled = 0;
    while (filled < out.size()) {
      if (position_ < window_start_ || position_ >= window_start_ + window_size_) {
        const bool adjacent = position_ == window_start_ + window_size_;
        wanted_ = adjacent ? std::min(wanted_ * 2, kHeadWindow) : kJumpWindow;
        QEL_ASSIGN_OR_RETURN(window_size_,
                             file_->read_at(position_, std::span(window_).first(wanted_)));
        window_start_ = position_;
        if (window_size_ == 0) break;
      }
      const auto at = static_cast<std::size_t>(position_ - window_start_);
      const std::size_t n = std::min(out.size() - filled, window_size_ - at);
      std::memcpy(out.data() + filled, window_.data() + at, n);
      filled += n;
      position_ += n;
    }
    return filled;
  }

  Result<std::uint64_t> skip(std::uint64_t count) override {
    const std::uint64_t left = file_->size() > position_ ? file_->size() - position_ : 0;
    const std::uint64_t skipped = std::min(count, left);
    position_ += skipped;
    return skipped;
  }

 private:
  std::shared_ptr<const PlainFile> file_;
  std::uint64_t position_;
  std::vector<std::uint8_t> window_;
  std::uint64_t window_start_ = 0;
  std::size_t window_size_ = 0;
  std::size_t wanted_ = kJumpWindow;
};

class StreamedHeads final : public HeadInput {
 public:
  explicit StreamedHeads(BufferedInput& stream) noexcept : stream_(stream) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override { return stream_.read(out); }
  Result<std::uint64_t> skip(std::uint64_t count) override { return stream_.discard(count); }

 private:
  BufferedInput& stream_;
};

// The most of a payload's start a block's count and run need: the control
// byte, a start time, a rate and a count.
constexpr std::size_t kHeadBytes = wire::kStartRunHeadBytes;

// The walk's state: where it is and what it found.
class Walk {
 public:
  Walk(HeadInput& input, std::uint64_t offset, const MetaBlock& meta, IntegrityProfile integrity)
      : input_(input), position_(offset), integrity_(integrity) {
    for (const meta::Channel& channel : meta.channels) {
      if (map_.slots.size() <= channel.index) map_.slots.resize(std::size_t{channel.index} + 1, -1);
      std::int32_t& slot = map_.slots[channel.index];
      if (slot < 0) {
        slot = static_cast<std::int32_t>(map_.channels.size());
        map_.channels.emplace_back();
        types_.emplace_back();
      }
      // A redefined index keeps the last definition.
      map_.channels[static_cast<std::size_t>(slot)].length_width = channel.sizeoflengthvalue;
      types_[static_cast<std::size_t>(slot)] = channel.datatype;
      ChannelStats& stats = map_.stats.channels[channel.index];
      stats = ChannelStats();
      stats.name = channel.name;
      if (channel.datatype.id() == DataTypeId::Unsupported) ++map_.stats.channels_unsupported;
    }
    map_.stats.channels_total = meta.channels.size();
  }

  Result<BlockMap> run() {
    for (;;) {
      const std::uint64_t before = position_;
      QEL_ASSIGN_OR_RETURN(const bool more, step());
      if (!more) break;
      // The bytes passed over count, so a long walk can be stopped.
      QEL_TRY(checkpoints_.advance(position_ - before));
    }
    map_.stats.compute_totals();
    return std::move(map_);
  }

 private:
  Result<bool> read(std::span<std::uint8_t> out) {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, input_.read(out));
    position_ += got;
    return got == out.size();
  }
  Result<bool> skip(std::uint64_t count) {
    QEL_ASSIGN_OR_RETURN(const std::uint64_t skipped, input_.skip(count));
    position_ += skipped;
    return skipped == count;
  }
  bool truncated() noexcept {
    map_.stats.blocks_truncated = 1;
    return false;
  }

  // One block; false at the end of the block area.
  Result<bool> step() {
    const std::uint64_t start = position_;
    std::array<std::uint8_t, 2> index_bytes;
    QEL_ASSIGN_OR_RETURN(const bool has_index, read(index_bytes));
    if (!has_index) return false;
    const auto index = load_le<std::uint16_t>(index_bytes.data());
    if (index == wire::kTrailerMarker) return trailer();
    if (index == wire::kSignatureMarker && integrity_ != IntegrityProfile::none) {
      return signature();
    }
    const std::int32_t slot = index < map_.slots.size() ? map_.slots[index] : -1;
    if (slot < 0) return std::unexpected(Error::unknown_channel_index(index));
    ChannelBlocks& channel = map_.channels[static_cast<std::size_t>(slot)];
    const std::uint8_t width = channel.length_width;
    if (width != 2 && width != 4) {
      return std::unexpected(Error::invalid_metablock(
          "channel sizeoflengthvalue=" + std::to_string(width) +
          " reached the block reader; must be 2 or 4 (validated in the metablock parser)"));
    }
    std::array<std::uint8_t, 4> length_bytes{};
    QEL_ASSIGN_OR_RETURN(const bool has_length, read(std::span(length_bytes).first(width)));
    if (!has_length) return truncated();
    const std::uint32_t length = width == 2 ? load_le<std::uint16_t>(length_bytes.data())
                                            : load_le<std::uint32_t>(length_bytes.data());
    ChannelStats& stats = map_.stats.channels[index];
    if (length == 0) {
      ++map_.stats.blocks_skipped_zero_length;
      ++stats.blocks_skipped;
      return true;
    }
    const DataType& type = types_[static_cast<std::size_t>(slot)];
    if (type.id() == DataTypeId::Unsupported) {
      QEL_ASSIGN_OR_RETURN(const bool whole, skip(length));
      if (!whole) {
        map_.stats.blocks_truncated = 1;
        return std::unexpected(Error::io_message("stream truncated mid-skip-payload"));
      }
      ++map_.stats.blocks_skipped_unsupported;
      ++stats.blocks_skipped;
      stats.bytes += length;
      return true;
    }
    std::array<std::uint8_t, kHeadBytes> head{};
    const std::size_t head_size = std::min<std::size_t>(length, kHeadBytes);
    QEL_ASSIGN_OR_RETURN(const bool has_head, read(std::span(head).first(head_size)));
    if (!has_head) return truncated();
    QEL_ASSIGN_OR_RETURN(const bool has_rest, skip(length - head_size));
    if (!has_rest) return truncated();
    stats.bytes += length;
    add_block(channel, stats, type, BlockEntry{.offset = start, .length = length}, head, head_size);
    return true;
  }

  Result<bool> trailer() {
    map_.stats.trailer_seen = true;
    std::array<std::uint8_t, 4> length_bytes;
    QEL_ASSIGN_OR_RETURN(const bool has_length, read(length_bytes));
    if (!has_length) return truncated();
    QEL_ASSIGN_OR_RETURN(const bool whole, skip(load_le<std::uint32_t>(length_bytes.data())));
    if (!whole) map_.stats.blocks_truncated = 1;
    return false;
  }

  Result<bool> signature() {
    std::array<std::uint8_t, 4> length_bytes;
    QEL_ASSIGN_OR_RETURN(const bool has_length, read(length_bytes));
    if (!has_length) return truncated();
    QEL_ASSIGN_OR_RETURN(const bool whole, skip(load_le<std::uint32_t>(length_bytes.data())));
    if (!whole) return truncated();
    ++map_.stats.blocks_signature_skipped;
    return true;
  }

  void add_block(ChannelBlocks& channel, ChannelStats& stats, const DataType& type,
                 BlockEntry block, std::span<const std::uint8_t, kHeadBytes> head,
                 std::size_t head_size) {
    block.control = head[0];
    const bool multi = (block.control & wire::kMultiSample) != 0;
    // A frame too short for its CRC fails it; the reader decides that.
    if (const auto reason = skip_reason(block.kind(), multi, type);
        reason && !(integrity_ != IntegrityProfile::none && block.length < 5)) {
      ++(map_.stats.*skip_counter(*reason));
      ++stats.blocks_skipped;
      return;
    }
    const std::size_t count_at = block.kind() == wire::kStartData ? 17 : 1;
    block.count = !multi                      ? 1
                  : head_size >= count_at + 4 ? load_le<std::uint32_t>(head.data() + count_at)
                                              : 0;
    follow_run(channel, block, head, head_size);
    ++map_.stats.blocks_read;
    ++stats.blocks_read;
    stats.samples += block.count;
    channel.blocks.push_back(block);
  }

  // Where an equidistant block stands in its run.
  static void follow_run(ChannelBlocks& channel, BlockEntry& block,
                         std::span<const std::uint8_t, kHeadBytes> head, std::size_t head_size) {
    if (block.kind() == wire::kStartData && head_size >= 17) {
      channel.runs.push_back(
          {load_le<std::int64_t>(head.data() + 1), load_le<double>(head.data() + 9)});
      block.run = static_cast<std::uint32_t>(channel.runs.size() - 1);
      block.first = 0;
      return;
    }
    const BlockEntry* last = channel.blocks.empty() ? nullptr : &channel.blocks.back();
    if (block.kind() == wire::kContinuedData && last != nullptr && last->run != kNoRun) {
      block.run = last->run;
      block.first = last->first + last->count;
      return;
    }
    channel.equidistant = false;
  }

  static std::uint64_t ReaderStats::*skip_counter(SkipReason reason) noexcept {
    switch (reason) {
      case SkipReason::DeprecatedType:
        return &ReaderStats::blocks_skipped_deprecated_type;
      case SkipReason::StatusEvent:
        return &ReaderStats::blocks_skipped_status_event;
      default:
        return &ReaderStats::blocks_skipped_reserved_type;
    }
  }

  HeadInput& input_;
  std::uint64_t position_;
  IntegrityProfile integrity_;
  BlockMap map_;
  std::vector<DataType> types_;
  cancel::Checkpoints checkpoints_;
};

}  // namespace

std::unique_ptr<HeadInput> plain_heads(std::shared_ptr<const PlainFile> file,
                                       std::uint64_t offset) {
  return std::make_unique<PlainHeads>(std::move(file), offset);
}

std::unique_ptr<HeadInput> streamed_heads(BufferedInput& stream) {
  return std::make_unique<StreamedHeads>(stream);
}

Result<BlockMap> walk_blocks(HeadInput& input, std::uint64_t offset, const MetaBlock& meta,
                             IntegrityProfile integrity) {
  return Walk(input, offset, meta, integrity).run();
}

}  // namespace qel
