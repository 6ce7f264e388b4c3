#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/manager.hpp"
#include "qel/meta.hpp"

namespace qel {

// The samples with start_ns <= t < stop_ns; an absent bound does not cut.
struct TimeWindow {
  std::optional<std::int64_t> start_ns;
  std::optional<std::int64_t> stop_ns;

  bool unbounded() const noexcept { return !start_ns && !stop_ns; }
  bool holds(std::int64_t t) const noexcept {
    return (!start_ns || *start_ns <= t) && (!stop_ns || t < *stop_ns);
  }
};

struct OpenOptions {
  // Refuse a file whose block area was cut off, has CRC failures or skipped
  // blocks, instead of tolerating them as the load does.
  bool strict = false;
};

// Where a segment of a cut channel began in the file: its samples are
// samples `first`, `first + 1`, ... of a run that started at `start_ns`.
struct SegmentOrigin {
  std::int64_t start_ns = 0;
  std::uint64_t first = 0;
};

// A channel or a cut of one. A cut equidistant segment keeps its rate and
// starts at its first kept sample's time; the times of its later samples,
// computed from that start, may then differ by a nanosecond from the
// file's, so `origins` (one per segment of an equidistant channel, empty for
// the others) keeps what the file's times are computed from.
struct ChannelPiece {
  Channel channel;
  std::vector<SegmentOrigin> origins;
};

// The time of every sample of the piece as the whole channel has it; `out`
// holds as many values as the piece has samples.
void fill_original_times(const ChannelPiece& piece, std::span<std::int64_t> out) noexcept;

class FileIndex;
class ChunkCursor;

// A recording opened without loading it: the header line and metablock are
// read and checked as the load checks them, and the block area is indexed.
// Reading then decodes only the blocks it needs. Every const member may be
// called from several threads at once.
class File : public std::enable_shared_from_this<File> {
 public:
  static Result<std::shared_ptr<const File>> open(const std::string& path,
                                                  OpenOptions options = {});
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  const std::string& path() const noexcept;
  const MetaBlock& meta() const noexcept;
  // The channels the load would return, in its order, without samples.
  const std::vector<Channel>& channels() const noexcept;
  const Channel* channel_info(std::string_view name) const;
  const Channel* channel_info_by_index(std::uint16_t index) const;
  // Whether the block area was cut off within a block.
  bool truncated() const noexcept;

  // The channel as the load gives it, cut to the window; `info` is one of
  // channels().
  Result<ChannelPiece> read_channel(const Channel& info, TimeWindow window = {}) const;
  // A manager holding just these channels (all of them when `names` is
  // absent) in the file's order, cut to the window; an unknown name is
  // ChannelNotFound.
  Result<DataManager> read(std::optional<std::span<const std::string>> names,
                           TimeWindow window = {}) const;
  // The channel in pieces of at most `max_samples` (at least 1) samples, in
  // order; the cursor keeps the file open.
  Result<std::unique_ptr<ChunkCursor>> chunks(const Channel& info, std::size_t max_samples,
                                              TimeWindow window = {}) const;

 private:
  explicit File(std::unique_ptr<FileIndex> index) noexcept;
  std::unique_ptr<FileIndex> index_;
};

// Successive pieces of one channel; each piece is a channel of the same
// kind holding only that piece's samples (and, when equidistant, its
// segments). Not for use from several threads at once.
class ChunkCursor {
 public:
  virtual ~ChunkCursor() = default;
  // The next piece, or nothing at the end.
  virtual Result<std::optional<ChannelPiece>> next() = 0;
};

}  // namespace qel
