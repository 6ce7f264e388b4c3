#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/meta.hpp"
#include "qel/stats.hpp"
#include "qel/stream.hpp"

namespace qel {

// The in-memory result of reading one file; immutable once loaded.
class DataManager {
 public:
  static Result<DataManager> load_from_file(const std::string& path);
  // The same load over any byte stream (a file, memory); `file_size` is what
  // the statistics report as the size on disk.
  static Result<DataManager> load_from_stream(std::unique_ptr<InputStream> stream,
                                              std::optional<std::uint64_t> file_size);
  // A manager of channels read elsewhere (an opened file's reads), in their
  // order; of channels of the same name, the first is found by name.
  static DataManager from_parts(MetaBlock meta, std::vector<Channel> channels, ReaderStats stats);

  const std::vector<Channel>& channels() const noexcept { return channels_; }
  const Channel* channel(std::string_view name) const;
  const Channel* channel_by_index(std::uint16_t index) const;
  const MetaBlock& meta() const noexcept { return meta_; }
  const ReaderStats& stats() const noexcept { return stats_; }

 private:
  // The load itself; the public functions turn a failed allocation into its error.
  static Result<DataManager> load_unguarded(std::unique_ptr<InputStream> stream,
                                            std::optional<std::uint64_t> file_size);

  MetaBlock meta_;
  std::vector<Channel> channels_;
  std::unordered_map<std::string, std::size_t> by_name_;
  std::unordered_map<std::uint16_t, std::size_t> by_index_;
  ReaderStats stats_;
};

}  // namespace qel
