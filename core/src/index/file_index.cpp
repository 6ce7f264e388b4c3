#include "index/file_index.hpp"

#include <limits>
#include <utility>

#include "container/compression.hpp"
#include "container/reader.hpp"
#include "index/cut.hpp"
#include "index/strict.hpp"
#include "index/walk.hpp"
#include "samples/load_steps.hpp"

namespace qel {
namespace {

// Counts what passes through, so the block area's start is known.
class CountingStream final : public InputStream {
 public:
  explicit CountingStream(InputStream& inner) noexcept : inner_(inner) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, inner_.read(out));
    count_ += got;
    return got;
  }
  std::uint64_t count() const noexcept { return count_; }

 private:
  InputStream& inner_;
  std::uint64_t count_ = 0;
};

}  // namespace

Result<std::unique_ptr<FileIndex>> FileIndex::open(const std::string& path, OpenOptions options) {
  auto index = std::unique_ptr<FileIndex>(new FileIndex());
  index->path_ = path;
  QEL_TRY(index->index(options));
  return index;
}

Status FileIndex::index(OpenOptions options) {
  QEL_ASSIGN_OR_RETURN(file_, PlainFile::open(path_));
  const std::uint64_t size = file_->size();
  QEL_ASSIGN_OR_RETURN(std::unique_ptr<ByteSource> whole, open_source(file_, false));
  std::vector<PlanItem> items{PlanItem{0, size, {}}};
  QEL_ASSIGN_OR_RETURN(MaybeCompressed input,
                       detect_and_wrap(std::make_unique<PlanStream>(*whole, std::move(items))));
  CountingStream counted(input.input);
  QEL_ASSIGN_OR_RETURN(header_, parse_magic_header(counted));
  QEL_ASSIGN_OR_RETURN(meta_, read_meta(counted, header_));
  data_start_ = counted.count();
  compressed_ = input.format != CompressionFormat::none;
  if (!compressed_) {
    const auto heads = plain_heads(file_, data_start_);
    QEL_ASSIGN_OR_RETURN(map_, walk_blocks(*heads, data_start_, meta_, header_.integrity));
  } else {
    const auto heads = streamed_heads(input.input);
    QEL_ASSIGN_OR_RETURN(map_, walk_blocks(*heads, data_start_, meta_, header_.integrity));
  }
  map_.stats.file_size_bytes = size;
  map_.stats.header_size_bytes = data_start_ - header_.metablock_len;
  map_.stats.metablock_size_bytes = header_.metablock_len;
  map_.stats.compressed = input.format != CompressionFormat::none;
  map_.stats.compression_format = input.format;
  map_.stats.integrity = header_.integrity;
  runs_trusted_ = header_.integrity == IntegrityProfile::none;
  if (options.strict) QEL_TRY(verify());

  Builders builders = make_builders(meta_);
  Assembled assembled = finalize_all(builders);
  infos_ = std::move(assembled.channels);
  by_name_ = std::move(assembled.by_name);
  by_index_ = std::move(assembled.by_index);
  return {};
}

// Reads the whole block area once, as the load reads it, for what only the
// payloads tell: CRC failures.
Status FileIndex::verify() {
  QEL_ASSIGN_OR_RETURN(std::unique_ptr<ByteSource> bytes, source());
  const std::uint64_t rest = std::numeric_limits<std::uint64_t>::max() - data_start_;
  std::vector<PlanItem> items{PlanItem{data_start_, rest, {}}};
  BlockReader reader(BufferedInput(std::make_unique<PlanStream>(*bytes, std::move(items))), meta_);
  reader.set_integrity(header_.integrity);
  for (;;) {
    QEL_ASSIGN_OR_RETURN(const std::optional<DecodedBlock>& block, reader.next());
    if (!block) break;
  }
  const ReaderStats checked = reader.stats();
  map_.stats.blocks_crc_failed = checked.blocks_crc_failed;
  QEL_TRY(check_strict(map_.stats));
  runs_trusted_ = true;
  return {};
}

const Channel* FileIndex::channel_info(std::string_view name) const {
  const auto found = by_name_.find(std::string(name));
  return found == by_name_.end() ? nullptr : &infos_[found->second];
}

const Channel* FileIndex::channel_info_by_index(std::uint16_t index) const {
  const auto found = by_index_.find(index);
  return found == by_index_.end() ? nullptr : &infos_[found->second];
}

ChannelPlan FileIndex::plan(const Channel& info, const TimeWindow& window) const {
  const ChannelBlocks* blocks = map_.find(info.index);
  return ChannelPlan{&info, blocks, steps_for(*blocks, runs_trusted_, window)};
}

Result<std::vector<ChannelPiece>> FileIndex::read(std::span<const Channel* const> infos,
                                                  const TimeWindow& window) const {
  std::vector<ChannelPlan> plans;
  plans.reserve(infos.size());
  for (const Channel* info : infos) plans.push_back(plan(*info, window));
  QEL_ASSIGN_OR_RETURN(std::unique_ptr<ByteSource> bytes, source());
  QEL_ASSIGN_OR_RETURN(std::vector<ChannelPiece> pieces,
                       read_plans({meta_, header_.integrity, *bytes}, plans));
  for (ChannelPiece& piece : pieces) piece = cut_to_window(std::move(piece), window);
  return pieces;
}

}  // namespace qel
