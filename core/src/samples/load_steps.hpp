#pragma once

// The steps of a load that an opened file takes too, so both check a file
// the same way and build its channels the same way.

#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/allocation_guard.hpp"
#include "container/header.hpp"
#include "container/reader.hpp"
#include "qel/error.hpp"
#include "qel/meta.hpp"
#include "qel/stream.hpp"
#include "samples/channel_builder.hpp"

namespace qel {

// Reads, checks and parses the metablock that follows the header line.
Result<MetaBlock> read_meta(InputStream& input, const MagicHeader& header);

// One builder per defined channel index; a redefined index keeps the last
// definition, at the place of the first.
struct Builders {
  std::unordered_map<std::uint16_t, ChannelBuilder> by_index;
  // by_index again as a direct table up to the largest index, for the lookup
  // made for every block.
  std::vector<ChannelBuilder*> direct;
  // Metablock order; a redefined index appears twice.
  std::vector<std::uint16_t> order;

  ChannelBuilder* find(std::uint16_t index) const noexcept {
    return index < direct.size() ? direct[index] : nullptr;
  }
};

Builders make_builders(const MetaBlock& meta);

// Lets the block reader place large runs straight into the channels.
class PlacedIntoBuilders final : public PlacedRunTarget {
 public:
  explicit PlacedIntoBuilders(Builders& builders) noexcept : builders_(builders) {}

  bool begin_placed(std::uint16_t index, bool starts_segment) override {
    ChannelBuilder* builder = builders_.find(index);
    return builder != nullptr && builder->begin_placed(starts_segment);
  }
  std::uint8_t* extend_placed(std::uint16_t index, std::size_t count) override {
    return builders_.find(index)->extend_placed(count);
  }
  void cancel_placed(std::uint16_t index) override { builders_.find(index)->cancel_placed(); }

 private:
  Builders& builders_;
};

// The finished channels in metablock order, as the load returns them.
struct Assembled {
  std::vector<Channel> channels;
  std::unordered_map<std::string, std::size_t> by_name;
  std::unordered_map<std::uint16_t, std::size_t> by_index;
};

Assembled finalize_all(Builders& builders);

// Applies every block the reader yields to its channel's builder.
Status read_blocks(BlockReader& reader, Builders& builders);

}  // namespace qel
