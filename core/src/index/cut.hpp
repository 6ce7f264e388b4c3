#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/file.hpp"

namespace qel {

// Samples [begin, end) of a channel, by position.
struct SampleRun {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// A whole channel as a piece: each segment is its own origin.
ChannelPiece whole_piece(Channel channel);

// The samples of `piece` inside the window; the piece itself when the window
// does not cut.
ChannelPiece cut_to_window(ChannelPiece piece, const TimeWindow& window);

// Samples [begin, end) of `piece`.
ChannelPiece slice(const ChannelPiece& piece, SampleRun run);

}  // namespace qel
