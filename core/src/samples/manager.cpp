#include "qel/manager.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "container/compression.hpp"
#include "container/header.hpp"
#include "container/reader.hpp"
#include "metablock/parse.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"
#include "samples/channel_builder.hpp"

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

// Reads, checks and parses the metablock; its bytes are gone once the model
// is built, before the block area is read.
Result<MetaBlock> read_meta(InputStream& input, const MagicHeader& header) {
  QEL_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> bytes, read_metablock(input, header));
  QEL_TRY(verify_metablock_crc(header.metablock_crc32c, bytes));
  return parse_metablock(header.version, bytes);
}

// Runs a load so that running out of memory is its error, not an exception.
// Nothing the load builds allocates while it is destroyed, so the unwinding
// itself needs no memory.
template <class Load>
Result<DataManager> failed_allocation_as_error(Load&& load) {
  prepare_error_path();
  try {
    return std::forward<Load>(load)();
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::out_of_memory());
  } catch (const std::length_error&) {
    return std::unexpected(Error::out_of_memory());
  }
}

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

struct Assembled {
  std::vector<Channel> channels;
  std::unordered_map<std::string, std::size_t> by_name;
  std::unordered_map<std::uint16_t, std::size_t> by_index;
};

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

}  // namespace

Result<DataManager> DataManager::load_from_file(const std::string& path) {
  return failed_allocation_as_error([&]() -> Result<DataManager> {
    QEL_ASSIGN_OR_RETURN(std::unique_ptr<FileInputStream> file, FileInputStream::open(path));
    const std::optional<std::uint64_t> size = file->size();
    return load_from_stream(std::move(file), size);
  });
}

Result<DataManager> DataManager::load_from_stream(std::unique_ptr<InputStream> stream,
                                                  std::optional<std::uint64_t> file_size) {
  return failed_allocation_as_error([&] { return load_unguarded(std::move(stream), file_size); });
}

Result<DataManager> DataManager::load_unguarded(std::unique_ptr<InputStream> stream,
                                                std::optional<std::uint64_t> file_size) {
  QEL_ASSIGN_OR_RETURN(MaybeCompressed input, detect_and_wrap(std::move(stream)));
  const CompressionFormat format = input.format;
  QEL_ASSIGN_OR_RETURN(const MagicHeader header, parse_magic_header(input.input));

  DataManager manager;
  QEL_ASSIGN_OR_RETURN(manager.meta_, read_meta(input.input, header));
  BlockReader reader(std::move(input.input), manager.meta_);
  reader.set_integrity(header.integrity);
  Builders builders = make_builders(manager.meta_);
  PlacedIntoBuilders target(builders);
  reader.set_placed_target(&target);
  QEL_TRY(read_blocks(reader, builders));
  Assembled assembled = finalize_all(builders);
  manager.channels_ = std::move(assembled.channels);
  manager.by_name_ = std::move(assembled.by_name);
  manager.by_index_ = std::move(assembled.by_index);

  manager.stats_ = reader.stats();
  manager.stats_.file_size_bytes = file_size;
  manager.stats_.metablock_size_bytes = header.metablock_len;
  manager.stats_.compressed = format != CompressionFormat::none;
  manager.stats_.compression_format = format;
  manager.stats_.integrity = header.integrity;
  return manager;
}

const Channel* DataManager::channel(std::string_view name) const {
  const auto found = by_name_.find(std::string(name));
  return found == by_name_.end() ? nullptr : &channels_[found->second];
}

const Channel* DataManager::channel_by_index(std::uint16_t index) const {
  const auto found = by_index_.find(index);
  return found == by_index_.end() ? nullptr : &channels_[found->second];
}

}  // namespace qel
