#include "writer/channel_stream.hpp"

#include <algorithm>
#include <cstring>

#include "qel/data_channel.hpp"

namespace qel {

using block_forms::kTimestampBytes;

ChannelStream::ChannelStream(std::uint16_t channel, const ChannelDef& def, std::uint64_t crc_bytes)
    : channel_(channel),
      width_(def.size_of_length_value),
      value_bytes_(def.data_type.fixed_size().value_or(1)),
      segment_capacity_(block_forms::segment_capacity(
          block_forms::payload_budget(width_, crc_bytes), value_bytes_)),
      buffered_values_(std::max<std::size_t>(1, kBufferedBlockBytes / value_bytes_)),
      buffered_records_(std::min(
          block_forms::records_per_block(block_forms::payload_budget(width_, crc_bytes),
                                         value_bytes_),
          std::max<std::size_t>(1, kBufferedBlockBytes / (kTimestampBytes + value_bytes_)))) {}

bool ChannelStream::continues(std::int64_t start_ns, double sample_rate_hz) const noexcept {
  return in_segment_ && sample_rate_hz == sample_rate_hz_ &&
         start_ns == sample_time(start_ns_, sample_rate_hz_, segment_samples_);
}

std::uint8_t* ChannelStream::buffer(std::size_t bytes) {
  if (buffer_.size() < bytes) buffer_.resize(bytes);
  return buffer_.data();
}

Status ChannelStream::add_segment(BlockOutput& out, std::int64_t start_ns, double sample_rate_hz,
                                  std::span<const std::uint8_t> values) {
  kind_ = StorageKind::equidistant;
  if (!continues(start_ns, sample_rate_hz)) {
    QEL_TRY(flush(out));
    in_segment_ = true;
    start_ns_ = start_ns;
    sample_rate_hz_ = sample_rate_hz;
    segment_samples_ = 0;
    segment_started_ = false;
  }
  const std::size_t count = values.size() / value_bytes_;
  std::size_t done = 0;
  for (;;) {
    const std::size_t block_values =
        segment_started_ ? segment_capacity_.continued : segment_capacity_.first;
    const std::size_t remaining = count - done;
    if (buffered_ + remaining < std::min(block_values, buffered_values_)) break;
    const std::size_t taken = std::min(block_values - buffered_, remaining);
    QEL_TRY(emit_values(out, values.subspan(done * value_bytes_, taken * value_bytes_)));
    done += taken;
  }
  segment_samples_ += count;
  if (done == count) return {};
  // The buffer may still be queued for writing as part of a block.
  if (out.out.holds_borrowed()) QEL_TRY(out.out.flush());
  const auto rest = values.subspan(done * value_bytes_);
  const std::size_t at = buffered_ * value_bytes_;
  std::memcpy(buffer(std::min(segment_capacity_.continued, buffered_values_) * value_bytes_) + at,
              rest.data(), rest.size());
  buffered_ += count - done;
  return {};
}

Status ChannelStream::emit_values(BlockOutput& out, std::span<const std::uint8_t> values) {
  const std::size_t count = buffered_ + values.size() / value_bytes_;
  head_.clear();
  if (segment_started_) {
    block_forms::append_continued_head(head_, count);
  } else {
    block_forms::append_segment_head(head_, start_ns_, sample_rate_hz_, count);
  }
  QEL_TRY(out.blocks.begin(channel_, width_, head_.size() + count * value_bytes_));
  QEL_TRY(out.blocks.put(head_));
  QEL_TRY(out.blocks.put_borrowed({buffer_.data(), buffered_ * value_bytes_}));
  QEL_TRY(out.blocks.put_borrowed(values));
  QEL_TRY(out.blocks.end());
  segment_started_ = true;
  buffered_ = 0;
  return {};
}

Status ChannelStream::add_records(BlockOutput& out, std::span<const std::int64_t> timestamps,
                                  std::span<const std::uint8_t> values) {
  kind_ = StorageKind::timestamped;
  const std::size_t record = kTimestampBytes + value_bytes_;
  std::uint8_t* records = buffer(buffered_records_ * record);
  for (std::size_t done = 0; done < timestamps.size();) {
    const std::size_t taken = std::min(buffered_records_ - buffered_, timestamps.size() - done);
    block_forms::interleave_records(records + buffered_ * record, timestamps.data() + done,
                                    values.data() + done * value_bytes_, value_bytes_, taken);
    buffered_ += taken;
    done += taken;
    if (buffered_ == buffered_records_) QEL_TRY(emit_records(out));
  }
  return {};
}

// The records are copied on, so the buffer is free again at once.
Status ChannelStream::emit_records(BlockOutput& out) {
  const std::size_t bytes = buffered_ * (kTimestampBytes + value_bytes_);
  head_.clear();
  block_forms::append_records_head(head_, buffered_);
  QEL_TRY(out.blocks.begin(channel_, width_, head_.size() + bytes));
  QEL_TRY(out.blocks.put(head_));
  QEL_TRY(out.blocks.put({buffer_.data(), bytes}));
  QEL_TRY(out.blocks.end());
  buffered_ = 0;
  return {};
}

Status ChannelStream::add_variable(BlockOutput& out, std::span<const std::int64_t> timestamps,
                                   std::span<const std::span<const std::uint8_t>> samples) {
  kind_ = StorageKind::variable;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto sample = samples[i];
    head_.clear();
    block_forms::append_variable_head(head_, timestamps[i]);
    QEL_TRY(out.blocks.begin(channel_, width_, head_.size() + sample.size()));
    QEL_TRY(out.blocks.put(head_));
    QEL_TRY(sample.size() <= kCopiedSampleBytes ? out.blocks.put(sample)
                                                : out.blocks.put_borrowed(sample));
    QEL_TRY(out.blocks.end());
  }
  return {};
}

Status ChannelStream::flush(BlockOutput& out) {
  if (kind_ == StorageKind::timestamped && buffered_ > 0) return emit_records(out);
  if (in_segment_ && (buffered_ > 0 || !segment_started_)) return emit_values(out, {});
  return {};
}

}  // namespace qel
