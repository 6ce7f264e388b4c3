#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "container/header.hpp"
#include "index/blocks.hpp"
#include "index/plan.hpp"
#include "index/source.hpp"
#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/file.hpp"
#include "qel/meta.hpp"
#include "qel/stats.hpp"

namespace qel {

// What an opened file knows of its recording: the metablock, the channels
// the load would return, and where each channel's blocks lie.
class FileIndex {
 public:
  static Result<std::unique_ptr<FileIndex>> open(const std::string& path, OpenOptions options);

  const std::string& path() const noexcept { return path_; }
  const MetaBlock& meta() const noexcept { return meta_; }
  const std::vector<Channel>& channels() const noexcept { return infos_; }
  const Channel* channel_info(std::string_view name) const;
  const Channel* channel_info_by_index(std::uint16_t index) const;
  bool truncated() const noexcept { return map_.stats.blocks_truncated != 0; }
  // The counters the heads tell; CRC failures are known after a strict open only.
  const ReaderStats& stats() const noexcept { return map_.stats; }

  // The plan of the channel's blocks that a window needs.
  ChannelPlan plan(const Channel& info, const TimeWindow& window) const;
  // A source for one read.
  Result<std::unique_ptr<ByteSource>> source() const { return open_source(file_, compressed_); }
  IntegrityProfile integrity() const noexcept { return header_.integrity; }

  // The channels, each cut to the window, in the order asked.
  Result<std::vector<ChannelPiece>> read(std::span<const Channel* const> infos,
                                         const TimeWindow& window) const;

 private:
  FileIndex() = default;
  Status index(OpenOptions options);
  Status verify();

  std::string path_;
  std::shared_ptr<const PlainFile> file_;
  bool compressed_ = false;
  MagicHeader header_;
  MetaBlock meta_;
  std::uint64_t data_start_ = 0;
  BlockMap map_;
  // The heads alone place every equidistant block in time only when no
  // block can fail its CRC unseen.
  bool runs_trusted_ = false;
  std::vector<Channel> infos_;
  std::unordered_map<std::string, std::size_t> by_name_;
  std::unordered_map<std::uint16_t, std::size_t> by_index_;
};

}  // namespace qel
