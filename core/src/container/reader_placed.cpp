// Large equidistant runs read straight into their channel's array.
#include <algorithm>
#include <array>

#include "common/byte_order.hpp"
#include "common/wire.hpp"
#include "container/reader.hpp"

namespace qel {
namespace {

constexpr std::uint8_t kStartRun = wire::kStartData | wire::kMultiSample;
constexpr std::uint8_t kContinuedRun = wire::kContinuedData | wire::kMultiSample;
constexpr std::size_t kContinuedHead = wire::kCountedHeadBytes;
constexpr std::size_t kStartHead = wire::kStartRunHeadBytes;
// Values arrive in pieces of this size, each checked while still in cache.
constexpr std::size_t kValuePiece = std::size_t{256} << 10;

}  // namespace

BlockReader::Item BlockReader::read_placed(const Frame& frame, const ChannelEntry& channel) {
  QEL_ASSIGN_OR_RETURN(const std::size_t head, read_placed_head());
  if (head == 0) return truncated();
  const std::uint8_t control = buffer_[0];
  if (control != kStartRun && control != kContinuedRun) return read_buffered(frame, channel, head);
  const std::size_t width = *channel.data_type.fixed_size();
  const std::size_t count = load_le<std::uint32_t>(buffer_.data() + head - 4);
  const std::size_t room = frame.length - head - crc_bytes();
  // A run that does not fit is left to the decoder, which names the shortfall.
  if (room / width < count || !placed_target_->begin_placed(frame.index, control == kStartRun)) {
    return read_buffered(frame, channel, head);
  }
  NumericPayload run{0, 0.0, NumericRun{channel.data_type.id(), nullptr, count, true}};
  if (control == kStartRun) {
    run.start_timestamp_ns = load_le<std::int64_t>(buffer_.data() + 1);
    run.sample_rate_hz = load_le<double>(buffer_.data() + 9);
  }
  QEL_ASSIGN_OR_RETURN(const FrameEnd body, read_placed_body(frame, head, count * width, width));
  if (body == FrameEnd::truncated) {
    placed_target_->cancel_placed(frame.index);
    return truncated();
  }
  stats_.data_section_size_bytes += frame.length;
  if (body == FrameEnd::corrupt) {
    placed_target_->cancel_placed(frame.index);
    return skip(frame.index, frame.length, SkipReason::CrcFailed);
  }
  BlockKind block = control == kStartRun ? BlockKind(StartData{run}) : ContinuedData{run.values};
  count_decoded(channel, frame.length, block);
  return DecodedBlock{frame.index, block};
}

Result<std::size_t> BlockReader::read_placed_head() {
  if (buffer_.size() < kStartHead) buffer_.resize(kStartHead);
  QEL_ASSIGN_OR_RETURN(const bool has_count, read_field(std::span(buffer_).first(kContinuedHead)));
  if (!has_count) return 0;
  if (buffer_[0] != kStartRun) return kContinuedHead;
  QEL_ASSIGN_OR_RETURN(const bool has_rest, read_field(std::span(buffer_).subspan(
                                                kContinuedHead, kStartHead - kContinuedHead)));
  return has_rest ? kStartHead : 0;
}

// The head is in the buffer; reads the values into the placed-run target, then whatever
// follows them up to the frame's CRC, and checks that.
Result<BlockReader::FrameEnd> BlockReader::read_placed_body(const Frame& frame, std::size_t head,
                                                            std::size_t value_bytes,
                                                            std::size_t width) {
  std::uint32_t crc = head_crc(frame, head);
  const std::size_t piece_values = kValuePiece / width;
  for (std::size_t done = 0; done < value_bytes;) {
    const std::size_t values = std::min(piece_values, (value_bytes - done) / width);
    std::uint8_t* out = placed_target_->extend_placed(frame.index, values);
    QEL_ASSIGN_OR_RETURN(const bool complete, read_checked({out, values * width}, crc));
    if (!complete) return FrameEnd::truncated;
    done += values * width;
  }
  return stream_to_end(frame.length - head - value_bytes - crc_bytes(), crc);
}

Result<bool> BlockReader::read_checked(std::span<std::uint8_t> out, std::uint32_t& crc) {
  QEL_ASSIGN_OR_RETURN(const bool complete, read_field(out));
  if (complete && crc_bytes() != 0) crc = crc32c_extend(crc, out);
  return complete;
}

}  // namespace qel
