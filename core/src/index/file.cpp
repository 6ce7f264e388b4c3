#include "qel/file.hpp"

#include <algorithm>
#include <utility>

#include "index/chunks.hpp"
#include "index/file_index.hpp"
#include "samples/load_steps.hpp"

namespace qel {

File::File(std::unique_ptr<FileIndex> index) noexcept : index_(std::move(index)) {}

File::~File() = default;

Result<std::shared_ptr<const File>> File::open(const std::string& path, OpenOptions options) {
  return failed_allocation_as_error([&]() -> Result<std::shared_ptr<const File>> {
    QEL_ASSIGN_OR_RETURN(std::unique_ptr<FileIndex> index, FileIndex::open(path, options));
    return std::shared_ptr<const File>(new File(std::move(index)));
  });
}

const std::string& File::path() const noexcept {
  return index_->path();
}

const MetaBlock& File::meta() const noexcept {
  return index_->meta();
}

const std::vector<Channel>& File::channels() const noexcept {
  return index_->channels();
}

const Channel* File::channel_info(std::string_view name) const {
  return index_->channel_info(name);
}

const Channel* File::channel_info_by_index(std::uint16_t index) const {
  return index_->channel_info_by_index(index);
}

bool File::truncated() const noexcept {
  return index_->truncated();
}

Result<ChannelPiece> File::read_channel(const Channel& info, TimeWindow window) const {
  return failed_allocation_as_error([&]() -> Result<ChannelPiece> {
    const Channel* const infos[] = {&info};
    QEL_ASSIGN_OR_RETURN(std::vector<ChannelPiece> pieces, index_->read(infos, window));
    return std::move(pieces.front());
  });
}

Result<DataManager> File::read(std::optional<std::span<const std::string>> names,
                               TimeWindow window) const {
  return failed_allocation_as_error([&]() -> Result<DataManager> {
    std::vector<const Channel*> infos;
    if (names) {
      for (const std::string& name : *names) {
        const Channel* info = channel_info(name);
        if (info == nullptr) return std::unexpected(Error::channel_not_found(name));
        infos.push_back(info);
      }
      std::ranges::sort(infos);
      infos.erase(std::unique(infos.begin(), infos.end()), infos.end());
    } else {
      for (const Channel& info : channels()) infos.push_back(&info);
    }
    QEL_ASSIGN_OR_RETURN(std::vector<ChannelPiece> pieces, index_->read(infos, window));
    std::vector<Channel> channels;
    channels.reserve(pieces.size());
    for (ChannelPiece& piece : pieces) channels.push_back(std::move(piece.channel));
    return DataManager::from_parts(meta(), std::move(channels), index_->stats());
  });
}

Result<std::unique_ptr<ChunkCursor>> File::chunks(const Channel& info, std::size_t max_samples,
                                                  TimeWindow window) const {
  return failed_allocation_as_error([&]() -> Result<std::unique_ptr<ChunkCursor>> {
    return make_chunk_cursor(shared_from_this(), *index_, info,
                             std::max<std::size_t>(max_samples, 1), window);
  });
}

}  // namespace qel
