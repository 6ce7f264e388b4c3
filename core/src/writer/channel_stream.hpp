#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "qel/error.hpp"
#include "qel/writer.hpp"
#include "writer/binary_write.hpp"
#include "writer/block_forms.hpp"
#include "writer/gather_writer.hpp"
#include "writer/sample_checks.hpp"

namespace qel {

// Where the blocks of a stream go: framed by `blocks`, gathered by `out`.
struct BlockOutput {
  GatherWriter& out;
  BlockWriter& blocks;
};

// One channel of a StreamWriter: buffers its samples up to one block and
// emits full blocks as they fill, in the block forms of the builder's file
// emission. Calls arrive validated.
class ChannelStream {
 public:
  // Buffered blocks (the samples of many small calls) carry at most this
  // many payload bytes, whatever the length field allows.
  static constexpr std::size_t kBufferedBlockBytes = std::size_t{64} << 10;
  // Larger string and binary samples are written from the caller's memory.
  static constexpr std::size_t kCopiedSampleBytes = std::size_t{4} << 10;

  ChannelStream(std::uint16_t channel, const ChannelDef& def, std::uint64_t crc_bytes);

  StorageKind kind() const noexcept { return kind_; }

  // Values of an equidistant segment, in their wire form: they continue the
  // current segment when start and rate say so (see StreamWriter), else they
  // open a new one. Blocks that fill are written from `values` where it lies.
  Status add_segment(BlockOutput& out, std::int64_t start_ns, double sample_rate_hz,
                     std::span<const std::uint8_t> values);
  // Timestamped numeric or GPS samples; `values` in their wire form.
  Status add_records(BlockOutput& out, std::span<const std::int64_t> timestamps,
                     std::span<const std::uint8_t> values);
  // String or binary samples, one block each; every one fits the length field.
  Status add_variable(BlockOutput& out, std::span<const std::int64_t> timestamps,
                      std::span<const std::span<const std::uint8_t>> samples);
  // Writes out the partial block, if any (and the first block of a segment
  // that has no sample yet), so that nothing handed in waits in the buffer.
  Status flush(BlockOutput& out);

 private:
  bool continues(std::int64_t start_ns, double sample_rate_hz) const noexcept;
  // One block of the buffered values followed by `values`.
  Status emit_values(BlockOutput& out, std::span<const std::uint8_t> values);
  Status emit_records(BlockOutput& out);
  std::uint8_t* buffer(std::size_t bytes);

  std::uint16_t channel_;
  std::uint8_t width_;
  std::size_t value_bytes_;
  block_forms::SegmentCapacity segment_capacity_;
  std::size_t buffered_values_;
  std::size_t buffered_records_;
  StorageKind kind_ = StorageKind::empty;

  // The current segment: its first sample's time, its rate, its samples so
  // far (buffered ones included), and whether its first block is written.
  bool in_segment_ = false;
  std::int64_t start_ns_ = 0;
  double sample_rate_hz_ = 0;
  std::uint64_t segment_samples_ = 0;
  bool segment_started_ = false;

  // Values or records not yet written; `buffered_` of them.
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::vector<std::uint8_t> head_;
};

}  // namespace qel
