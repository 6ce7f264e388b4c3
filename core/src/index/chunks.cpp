#include "index/chunks.hpp"

#include <utility>

#include "index/cut.hpp"
#include "samples/load_steps.hpp"

namespace qel {
namespace {

class PieceCursor final : public ChunkCursor {
 public:
  PieceCursor(ChannelPiece piece, std::size_t max_samples)
      : piece_(std::move(piece)), max_samples_(max_samples) {}

  Result<std::optional<ChannelPiece>> next() override {
    return failed_allocation_as_error([this]() -> Result<std::optional<ChannelPiece>> {
      const std::uint64_t total = piece_.channel.sample_count();
      if (position_ >= total) return std::nullopt;
      const std::uint64_t end =
          position_ + std::min<std::uint64_t>(max_samples_, total - position_);
      ChannelPiece out = slice(piece_, {position_, end});
      position_ = end;
      return out;
    });
  }

 private:
  ChannelPiece piece_;
  std::size_t max_samples_;
  std::uint64_t position_ = 0;
};

}  // namespace

Result<std::unique_ptr<ChunkCursor>> make_chunk_cursor(std::shared_ptr<const File>,
                                                       const FileIndex& index, const Channel& info,
                                                       std::size_t max_samples,
                                                       const TimeWindow& window) {
  const Channel* const infos[] = {&info};
  QEL_ASSIGN_OR_RETURN(std::vector<ChannelPiece> pieces, index.read(infos, window));
  return std::make_unique<PieceCursor>(std::move(pieces.front()), max_samples);
}

}  // namespace qel
