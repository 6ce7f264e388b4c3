#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "qel/stats.hpp"
#include "qel/types.hpp"

namespace qel {

inline constexpr std::uint32_t kNoRun = std::numeric_limits<std::uint32_t>::max();

// One data block of a channel, as its frame head tells it.
struct BlockEntry {
  // Of the frame's channel index, in the file's (inflated) stream.
  std::uint64_t offset = 0;
  // Equidistant blocks: samples of their run before this block.
  std::uint64_t first = 0;
  std::uint32_t length = 0;
  // Samples, as the head counts them.
  std::uint32_t count = 0;
  // Equidistant blocks: the run (ChannelBlocks::runs) the block belongs to.
  std::uint32_t run = kNoRun;
  std::uint8_t control = 0;

  std::uint8_t kind() const noexcept { return control & 0x7F; }
};

// The start of an equidistant run.
struct RunStart {
  std::int64_t start_ns = 0;
  double rate_hz = 0.0;
};

// The data blocks of one channel index in file order; skipped kinds are left
// out, as they carry no samples.
struct ChannelBlocks {
  std::uint8_t length_width = 2;
  std::vector<BlockEntry> blocks;
  std::vector<RunStart> runs;
  // Every block starts or continues an equidistant run, the first one starts
  // one: the times of each block follow from the heads.
  bool equidistant = true;

  std::uint64_t frame_bytes(const BlockEntry& block) const noexcept {
    return 2 + length_width + std::uint64_t{block.length};
  }
};

// The block area as the heads describe it.
struct BlockMap {
  // By channel index, for the indices the metablock defines.
  std::vector<ChannelBlocks> channels;
  std::vector<std::int32_t> slots;  // index -> position in channels, -1 for none
  ReaderStats stats;

  const ChannelBlocks* find(std::uint16_t index) const noexcept {
    const std::int32_t slot = index < slots.size() ? slots[index] : -1;
    return slot < 0 ? nullptr : &channels[static_cast<std::size_t>(slot)];
  }
};

}  // namespace qel
