#include "qel/manager.hpp"

#include <algorithm>
#include <utility>

#include "container/compression.hpp"
#include "container/header.hpp"
#include "container/read_ahead.hpp"
#include "container/reader.hpp"
#include "container/reading_threads.hpp"
#include "qel/log.hpp"
#include "samples/channel_builder.hpp"
#include "samples/load_steps.hpp"

namespace qel {

namespace {

// Below this a helper thread costs more than it saves.
constexpr std::uint64_t kReadAheadFrom = std::uint64_t{8} << 20;

}  // namespace

Result<DataManager> DataManager::load_from_file(const std::string& path) {
  const reading_threads::Reader reading;
  return failed_allocation_as_error([&]() -> Result<DataManager> {
    QEL_ASSIGN_OR_RETURN(std::unique_ptr<FileInputStream> file, FileInputStream::open(path));
    const std::optional<std::uint64_t> size = file->size();
    // A pipe or FIFO is read on the caller's thread, where its waits ask
    // the cancellation check.
    if (!file->regular() || size.value_or(0) < kReadAheadFrom) {
      return load_from_stream(std::move(file), size);
    }
    return load_from_stream(ReadAheadInput::wrap(std::move(file)), size);
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

DataManager DataManager::from_parts(MetaBlock meta, std::vector<Channel> channels,
                                    ReaderStats stats) {
  DataManager manager;
  manager.meta_ = std::move(meta);
  manager.channels_ = std::move(channels);
  manager.stats_ = std::move(stats);
  for (std::size_t i = 0; i < manager.channels_.size(); ++i) {
    manager.by_name_.emplace(manager.channels_[i].name, i);
    manager.by_index_.emplace(manager.channels_[i].index, i);
  }
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
