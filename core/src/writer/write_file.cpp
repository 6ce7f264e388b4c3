#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/allocation_guard.hpp"
#include "common/wire.hpp"
#include "qel/integrity.hpp"
#include "qel/log.hpp"
#include "qel/writer.hpp"
#include "writer/binary_write.hpp"
#include "writer/block_forms.hpp"
#include "writer/output_file.hpp"

namespace qel {
namespace {

// Timestamped records are interleaved in pieces of about this size.
constexpr std::size_t kRecordChunkBytes = std::size_t{64} << 10;

const ByteStringList& samples_of(const VariableChannel& channel) {
  return channel.strings ? *channel.strings : *channel.binaries;
}

std::uint64_t largest_sample(const VariableChannel& channel) {
  const ByteStringList& samples = samples_of(channel);
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    largest = std::max<std::uint64_t>(largest, samples[i].size());
  }
  return largest;
}

bool emits_blocks(const ChannelData& data) {
  if (const auto* equidistant = std::get_if<EquidistantData>(&data)) {
    return !equidistant->segments.empty();
  }
  if (const auto* timestamped = std::get_if<TimestampedData>(&data)) {
    return !timestamped->timestamps.empty();
  }
  if (const auto* variable = std::get_if<VariableChannel>(&data)) {
    return !variable->timestamps.empty();
  }
  return false;
}

// Everything that can fail without I/O, so that a write bound to fail
// creates nothing.
Status check_writable(const WriterBuilder& builder, std::uint64_t crc_bytes) {
  if (builder.channel_count() == 0) return std::unexpected(Error::no_channels());
  if (builder.integrity() == IntegrityProfile::ed25519) {
    return std::unexpected(Error::invalid_block_payload(
        "this writer implements integrity level crc only; signing (ed25519) is not supported"));
  }
  for (std::size_t i = 0; i < builder.channel_count(); ++i) {
    const auto index = static_cast<std::uint16_t>(i);
    const ChannelData& data = builder.data()[i];
    if (emits_blocks(data)) {
      QEL_TRY(block_forms::check_index_readable(index, builder.channels()[i].name, crc_bytes != 0));
    }
    if (const auto* variable = std::get_if<VariableChannel>(&data)) {
      const std::uint64_t length = largest_sample(*variable) + wire::kVariableHeadBytes + crc_bytes;
      if (length > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(Error::invalid_block_payload(
            "channel " + std::to_string(index) + ": block length " + std::to_string(length) +
            " bytes overflows u32 length field"));
      }
    }
  }
  return {};
}

// A string or binary sample is never split, so its channel needs a field
// wide enough for the largest one.
void autobump_size_of_length_value(std::vector<ChannelDef>& defs,
                                   const std::vector<ChannelData>& data, std::uint64_t crc_bytes) {
  for (std::size_t i = 0; i < defs.size(); ++i) {
    const auto* variable = std::get_if<VariableChannel>(&data[i]);
    if (defs[i].size_of_length_value != 2 || variable == nullptr) continue;
    const std::uint64_t need = largest_sample(*variable) + wire::kVariableHeadBytes + crc_bytes;
    if (need <= block_forms::kShortFieldLimit) continue;
    defs[i].size_of_length_value = 4;
    QEL_DEBUG(log::kWriter, "channel " + std::to_string(i) + " " + quoted(defs[i].name) +
                                ": auto-bumping size_of_length_value 2 -> 4 (a single sample "
                                "would need " +
                                std::to_string(need) + " bytes)");
  }
}

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Writes the blocks of one channel; `head` is reused for every block head.
class ChannelEmitter {
 public:
  ChannelEmitter(BlockWriter& blocks, std::uint64_t crc_bytes) noexcept
      : blocks_(blocks), crc_bytes_(crc_bytes) {}

  Status write(std::uint16_t channel, std::uint8_t size_of_length_value, const ChannelData& data) {
    channel_ = channel;
    width_ = size_of_length_value;
    budget_ = block_forms::payload_budget(width_, crc_bytes_);
    if (const auto* equidistant = std::get_if<EquidistantData>(&data)) {
      for (const auto& segment : equidistant->segments) QEL_TRY(write_segment(segment));
    } else if (const auto* timestamped = std::get_if<TimestampedData>(&data)) {
      QEL_TRY(write_timestamped(*timestamped));
    } else if (const auto* variable = std::get_if<VariableChannel>(&data)) {
      QEL_TRY(write_variable(*variable));
    }
    return {};
  }

 private:
  Status write_segment(const EquidistantSegmentDraft& segment) {
    const std::size_t total = size_of(segment.values);
    const auto capacity = block_forms::segment_capacity(budget_, numeric_byte_size(segment.values));
    std::size_t count = std::min(capacity.first, total);
    head_.clear();
    block_forms::append_segment_head(head_, segment.start_ns, segment.sample_rate_hz, count);
    QEL_TRY(write_values_block(segment.values, 0, count));
    for (std::size_t done = count; done < total; done += count) {
      count = std::min(capacity.continued, total - done);
      head_.clear();
      block_forms::append_continued_head(head_, count);
      QEL_TRY(write_values_block(segment.values, done, count));
    }
    return {};
  }

  Status write_values_block(const NumericValues& values, std::size_t start, std::size_t count) {
    const auto body = numeric_values_bytes(values, start, count);
    QEL_TRY(blocks_.begin(channel_, width_, head_.size() + body.size()));
    QEL_TRY(blocks_.put(head_));
    QEL_TRY(blocks_.put_borrowed(body));
    return blocks_.end();
  }

  Status write_timestamped(const TimestampedData& data) {
    const std::size_t record = 8 + numeric_byte_size(data.values);
    const std::size_t total = data.timestamps.size();
    const std::size_t per_block =
        block_forms::records_per_block(budget_, numeric_byte_size(data.values));
    const std::size_t per_chunk = std::max<std::size_t>(1, kRecordChunkBytes / record);
    for (std::size_t done = 0; done < total;) {
      const std::size_t count = std::min(per_block, total - done);
      QEL_TRY(
          blocks_.begin(channel_, width_, wire::kCountedHeadBytes + std::uint64_t{count} * record));
      head_.clear();
      block_forms::append_records_head(head_, count);
      QEL_TRY(blocks_.put(head_));
      for (const std::size_t end = done + count; done < end;) {
        const std::size_t piece = std::min(per_chunk, end - done);
        head_.clear();
        write_timestamped_records(head_, data.timestamps.view(), data.values, done, piece);
        QEL_TRY(blocks_.put(head_));
        done += piece;
      }
      QEL_TRY(blocks_.end());
    }
    return {};
  }

  Status write_variable(const VariableChannel& data) {
    const ByteStringList& samples = samples_of(data);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      const auto sample = samples[i];
      QEL_TRY(blocks_.begin(channel_, width_, wire::kVariableHeadBytes + sample.size()));
      head_.clear();
      block_forms::append_variable_head(head_, data.timestamps[i]);
      QEL_TRY(blocks_.put(head_));
      QEL_TRY(blocks_.put_borrowed(sample));
      QEL_TRY(blocks_.end());
    }
    return {};
  }

  BlockWriter& blocks_;
  std::uint64_t crc_bytes_;
  std::uint16_t channel_ = 0;
  std::uint8_t width_ = 2;
  std::uint64_t budget_ = 0;
  std::vector<std::uint8_t> head_;
};

}  // namespace

Status write_to_file(WriterBuilder&& builder, const std::string& path) {
  return failed_allocation_as_error([&]() -> Status {
    // Sample data is handed to the file where it lies, so `owned` must outlive `out`.
    const WriterBuilder owned = std::move(builder);
    const bool with_crc = owned.integrity() == IntegrityProfile::crc32c;
    const std::uint64_t crc_bytes = with_crc ? 4 : 0;
    QEL_TRY(check_writable(owned, crc_bytes));
    std::vector<ChannelDef> defs = owned.channels();
    autobump_size_of_length_value(defs, owned.data(), crc_bytes);
    QEL_ASSIGN_OR_RETURN(const std::string metablock,
                         build_metablock_json(owned.info(), defs, block_forms::now_unix_seconds()));

    QEL_ASSIGN_OR_RETURN(OutputFile out, OutputFile::create(path));
    QEL_TRY(out.out().write(bytes_of(block_forms::header_line(metablock, with_crc))));
    QEL_TRY(out.out().write(bytes_of(metablock)));
    BlockWriter blocks(out.out(), with_crc);
    ChannelEmitter emitter(blocks, crc_bytes);
    for (std::size_t i = 0; i < defs.size(); ++i) {
      QEL_TRY(emitter.write(static_cast<std::uint16_t>(i), defs[i].size_of_length_value,
                            owned.data()[i]));
    }
    return out.close();
  });
}

}  // namespace qel
