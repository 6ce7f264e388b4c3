#include "samples/load_steps.hpp"

#include <algorithm>
#include <string>

#include "metablock/parse.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"

namespace qel {
namespace {

// The header line announces the metablock length; beyond this it is refused
// rather than trusted with an allocation.
constexpr std::uint64_t kMaxMetablockBytes = std::uint64_t{1} << 30;
// The metablock buffer grows by at most this much beyond the bytes present.
constexpr std::size_t kMetablockGrowStep = std::size_t{1} << 20;

// The metablock's bytes, read as they arrive; after the first step, a
// metablock that cannot be of the header's version is refused unread.
Result<std::vector<std::uint8_t>> read_metablock(InputStream& stream, const MagicHeader& header) {
  const std::uint64_t length = header.metablock_len;
  if (length > kMaxMetablockBytes) {
    return std::unexpected(Error::invalid_metablock("metablock length " + std::to_string(length) +
                                                    " exceeds the supported maximum of " +
                                                    std::to_string(kMaxMetablockBytes) + " bytes"));
  }
  std::vector<std::uint8_t> bytes;
  while (bytes.size() < length) {
    const std::size_t have = bytes.size();
    const std::size_t step = std::max(have, kMetablockGrowStep);
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(length, have + step)));
    QEL_ASSIGN_OR_RETURN(const std::size_t got, read_full(stream, std::span(bytes).subspan(have)));
    const std::size_t arrived = have + got;
    if (have == 0 && arrived < length) {
      QEL_TRY(check_opening(header.version, std::span(bytes).first(arrived)));
    }
    if (arrived < bytes.size()) return std::unexpected(Error::unexpected_eof());
  }
  return bytes;
}

}  // namespace

// Reads, checks and parses the metablock; its bytes are gone once the model
// is built, before the block area is read.
Result<MetaBlock> read_meta(InputStream& input, const MagicHeader& header) {
  QEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_metablock(input, header));
  QEL_TRY(verify_metablock_crc(header.metablock_crc32c, bytes));
  return parse_metablock(header.version, bytes);
}

Builders make_builders(const MetaBlock& meta) {
  Builders builders;
  builders.by_index.reserve(meta.channels.size());
  builders.order.reserve(meta.channels.size());
  for (const meta::Channel& definition : meta.channels) {
    builders.by_index.insert_or_assign(definition.index, ChannelBuilder(definition));
    builders.order.push_back(definition.index);
  }
  for (auto& [index, builder] : builders.by_index) {
    if (builders.direct.size() <= index) builders.direct.resize(std::size_t{index} + 1);
    builders.direct[index] = &builder;
  }
  return builders;
}

Status read_blocks(BlockReader& reader, Builders& builders) {
  for (;;) {
    // A reference into the reader's result: the block is not copied.
    QEL_ASSIGN_OR_RETURN(const std::optional<DecodedBlock>& block, reader.next());
    if (!block) return {};
    // Skipped blocks carry no samples, and signature blocks have no channel.
    if (std::holds_alternative<Skipped>(block->kind)) continue;
    ChannelBuilder* builder = builders.find(block->channel_index);
    if (builder == nullptr) {
      return std::unexpected(Error::unknown_channel_index(block->channel_index));
    }
    QEL_TRY(builder->apply_block(block->kind));
  }
}

Assembled finalize_all(Builders& builders) {
  Assembled out;
  out.channels.reserve(builders.by_index.size());
  out.by_name.reserve(builders.by_index.size());
  out.by_index.reserve(builders.by_index.size());
  for (const std::uint16_t index : builders.order) {
    const auto builder = builders.by_index.find(index);
    if (builder == builders.by_index.end()) continue;
    std::optional<Channel> channel = std::move(builder->second).finalize();
    builders.by_index.erase(builder);
    if (!channel) continue;
    const std::size_t position = out.channels.size();
    if (!out.by_name.emplace(channel->name, position).second) {
      QEL_WARN(log::kManager, "duplicate channel name " + quoted(channel->name) +
                                  " at indices \u2014 first definition kept");
    }
    out.by_index.emplace(index, position);
    out.channels.push_back(std::move(*channel));
  }
  return out;
}

}  // namespace qel
