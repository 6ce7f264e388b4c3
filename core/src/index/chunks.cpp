#include "index/chunks.hpp"

#include <utility>

#include "common/wire.hpp"
#include "index/cut.hpp"
#include "index/plan.hpp"
#include "samples/load_steps.hpp"

namespace qel {
namespace {

// Reads a few blocks at a time, as many as one piece needs, and hands their
// samples out in pieces; the state of the channel is carried from one read to
// the next.
class BlockCursor final : public ChunkCursor {
 public:
  BlockCursor(std::shared_ptr<const File> file, const FileIndex& index, ChannelPlan plan,
              std::unique_ptr<ByteSource> source, std::size_t max_samples, const TimeWindow& window)
      : file_(std::move(file)),
        index_(index),
        plan_(std::move(plan)),
        source_(std::move(source)),
        max_samples_(max_samples),
        window_(window) {}

  Result<std::optional<ChannelPiece>> next() override {
    return failed_allocation_as_error([this]() -> Result<std::optional<ChannelPiece>> {
      while (position_ >= pending_.channel.sample_count()) {
        if (step_ == plan_.steps.size()) return std::nullopt;
        QEL_TRY(read_more());
      }
      const std::uint64_t total = pending_.channel.sample_count();
      const std::uint64_t end =
          position_ + std::min<std::uint64_t>(max_samples_, total - position_);
      ChannelPiece out =
          position_ == 0 && end == total ? std::move(pending_) : slice(pending_, {position_, end});
      position_ = end;
      if (end == total) pending_ = ChannelPiece{};
      return out;
    });
  }

 private:
  // Reads the next blocks, up to about one piece's samples.
  Status read_more() {
    ChannelPlan run{plan_.info, plan_.blocks, {}};
    std::uint64_t samples = 0;
    while (step_ < plan_.steps.size()) {
      const Step& step = plan_.steps[step_];
      const std::uint32_t count = plan_.blocks->blocks[step.block].count;
      if (!run.steps.empty() && samples + count > max_samples_) break;
      run.steps.push_back(step);
      samples += count;
      ++step_;
    }
    resume_first(run.steps.front());
    std::vector<Carry> carried;
    QEL_ASSIGN_OR_RETURN(
        std::vector<ChannelPiece> pieces,
        read_plans({index_.meta(), index_.integrity(), *source_}, std::span(&run, 1), &carried));
    if (carried.front().run) carry_.run = carried.front().run;
    if (carried.front().anchor) carry_.anchor = carried.front().anchor;
    last_block_ = run.steps.back().block;
    pending_ = cut_to_window(std::move(pieces.front()), window_);
    position_ = 0;
    return {};
  }

  // A read that goes on from the previous one gives the channel its state.
  void resume_first(Step& step) const {
    if (step.resume || !last_block_ || step.block != *last_block_ + 1) return;
    const std::uint8_t kind = plan_.blocks->blocks[step.block].kind();
    if (kind == wire::kContinuedData && carry_.run) step.resume = Resume{carry_.run, std::nullopt};
    if (kind == wire::kContinuedRelStampData && carry_.anchor) {
      step.resume = Resume{std::nullopt, carry_.anchor};
    }
  }

  std::shared_ptr<const File> file_;
  const FileIndex& index_;
  ChannelPlan plan_;
  std::unique_ptr<ByteSource> source_;
  std::size_t max_samples_;
  TimeWindow window_;
  std::size_t step_ = 0;
  Carry carry_;
  std::optional<std::uint32_t> last_block_;
  ChannelPiece pending_;
  std::uint64_t position_ = 0;
};

}  // namespace

Result<std::unique_ptr<ChunkCursor>> make_chunk_cursor(std::shared_ptr<const File> file,
                                                       const FileIndex& index, const Channel& info,
                                                       std::size_t max_samples,
                                                       const TimeWindow& window) {
  QEL_ASSIGN_OR_RETURN(std::unique_ptr<ByteSource> source, index.source());
  return std::make_unique<BlockCursor>(std::move(file), index, index.plan(info, window),
                                       std::move(source), max_samples, window);
}

}  // namespace qel
