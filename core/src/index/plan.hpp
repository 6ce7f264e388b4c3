#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/blocks.hpp"
#include "index/source.hpp"
#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/file.hpp"
#include "qel/integrity.hpp"
#include "qel/meta.hpp"

namespace qel {

// What a channel's builder held before a block, for a read that starts there
// instead of at the channel's first block: the run it continues, or the time
// its relative stamps count from.
struct Resume {
  struct Run {
    std::int64_t start_ns = 0;
    double rate_hz = 0.0;
    // Samples of the run before the block.
    std::uint64_t first = 0;
  };
  std::optional<Run> run;
  std::optional<std::int64_t> anchor;
};

// One block to read, and the state to give its channel first.
struct Step {
  std::uint32_t block = 0;
  std::optional<Resume> resume;
};

// The blocks to read of one channel, in file order.
struct ChannelPlan {
  const Channel* info = nullptr;
  const ChannelBlocks* blocks = nullptr;
  std::vector<Step> steps;
};

// The state of a channel after a read, for one that goes on from there.
struct Carry {
  std::optional<Resume::Run> run;
  std::optional<std::int64_t> anchor;
};

// Every block of the channel from its first on, each after the one before.
std::vector<Step> every_step(const ChannelBlocks& blocks);
// The blocks whose samples may lie in the window, each group that starts
// within a run resumed from the heads; every block when their times are not
// known from the heads.
std::vector<Step> steps_for(const ChannelBlocks& blocks, bool runs_trusted,
                            const TimeWindow& window);

// What a read needs of the file beside the plans.
struct ReadContext {
  const MetaBlock& meta;
  IntegrityProfile integrity;
  ByteSource& source;
};

// Reads the planned blocks of all channels in one pass through the load's
// block reader and channel builders; one piece per plan, not yet cut to a
// window. `carry`, when given, receives each channel's state after it.
Result<std::vector<ChannelPiece>> read_plans(const ReadContext& context,
                                             std::span<const ChannelPlan> plans,
                                             std::vector<Carry>* carry = nullptr);

}  // namespace qel
