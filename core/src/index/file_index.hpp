#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/file.hpp"
#include "qel/manager.hpp"
#include "qel/meta.hpp"
#include "qel/stats.hpp"

namespace qel {

// What an opened file knows of its recording, and the reads of its channels.
class FileIndex {
 public:
  static Result<std::unique_ptr<FileIndex>> open(const std::string& path, OpenOptions options);

  const std::string& path() const noexcept { return path_; }
  const MetaBlock& meta() const noexcept { return loaded_.meta(); }
  const std::vector<Channel>& channels() const noexcept { return infos_; }
  const Channel* channel_info(std::string_view name) const;
  const Channel* channel_info_by_index(std::uint16_t index) const;
  bool truncated() const noexcept { return loaded_.stats().blocks_truncated != 0; }
  const ReaderStats& stats() const noexcept { return loaded_.stats(); }

  // The channels, each cut to the window, in the order asked.
  Result<std::vector<ChannelPiece>> read(std::span<const Channel* const> infos,
                                         const TimeWindow& window) const;

 private:
  FileIndex(std::string path, DataManager loaded);

  std::string path_;
  DataManager loaded_;
  std::vector<Channel> infos_;
};

}  // namespace qel
