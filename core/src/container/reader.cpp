#include "container/reader.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "common/byte_order.hpp"
#include "common/saturating.hpp"
#include "common/utf8.hpp"
#include "common/wire.hpp"
#include "payload/payload.hpp"
#include "qel/log.hpp"

namespace qel {
namespace {

// A payload longer than the buffer is read in steps of at least this size,
// so a length field on a short file never sizes the buffer by itself.
constexpr std::size_t kPayloadGrowStep = std::size_t{1} << 20;
// Bytes that are streamed past go through the buffer in pieces of this size.
constexpr std::size_t kStreamPiece = std::size_t{64} << 10;

bool is_variable(const DataType& type) noexcept {
  return type.sample_type() == DataTypeId::String || type.sample_type() == DataTypeId::Binary;
}

void log_tail_mismatch(std::span<const std::uint8_t> tail) {
  QEL_DEBUG(log::kReader, "QEL trailer: 40-byte tail did not start with \"QEL_STREAM_END\"; got " +
                              quoted(from_utf8_lossy(tail.first(wire::kTailMagic.size()))));
}

// The file's counter of each SkipReason, in the enum's order.
constexpr std::array<std::uint64_t ReaderStats::*, 7> kSkipCounters{
    &ReaderStats::blocks_skipped_unsupported,  &ReaderStats::blocks_skipped_deprecated_type,
    &ReaderStats::blocks_skipped_status_event, &ReaderStats::blocks_skipped_reserved_type,
    &ReaderStats::blocks_crc_failed,           &ReaderStats::blocks_signature_skipped,
    &ReaderStats::blocks_skipped_zero_length,
};
static_assert(kSkipCounters.size() == static_cast<std::size_t>(SkipReason::ZeroLength) + 1);

// What the decoder gave for a block of each kind.
const NumericPayload& payload_of(const StartData& block) noexcept {
  return block.payload;
}
const NumericRun& payload_of(const ContinuedData& block) noexcept {
  return block.values;
}
const TimestampedPayload& payload_of(const AbsTimestamped& block) noexcept {
  return block.payload;
}
const RelTimestampedPayload& payload_of(const RelTimestamped& block) noexcept {
  return block.payload;
}
const Skipped& payload_of(const Skipped& block) noexcept {
  return block;
}

std::size_t samples_in(const NumericPayload& run) noexcept {
  return run.values.count;
}
std::size_t samples_in(const NumericRun& run) noexcept {
  return run.count;
}
std::size_t samples_in(const TimestampedPayload& payload) noexcept {
  return sample_count(payload);
}
std::size_t samples_in(const RelTimestampedPayload& payload) noexcept {
  return payload.count;
}
std::size_t samples_in(const Skipped&) noexcept {
  return 0;
}

// Widens the channel's time range by the samples of a block whose times are
// known without rebuilding them.
void widen_range(ChannelStats& channel, const NumericPayload& run) {
  ++channel.segments;
  channel.widen(run.start_timestamp_ns);
  if (run.sample_rate_hz > 0.0 && run.values.count > 0) {
    const double span_ns =
        static_cast<double>(run.values.count - 1) / run.sample_rate_hz * 1'000'000'000.0;
    channel.widen(saturating_add(run.start_timestamp_ns, saturating_i64(span_ns)));
  }
}
void widen_range(ChannelStats& channel, const TimestampedPayload& payload) {
  if (const auto range = abs_timestamp_range(payload)) {
    channel.widen(range->first);
    channel.widen(range->second);
  }
}
void widen_range(ChannelStats&, const NumericRun&) {}
void widen_range(ChannelStats&, const RelTimestampedPayload&) {}
void widen_range(ChannelStats&, const Skipped&) {}

}  // namespace

std::optional<SkipReason> skip_reason(std::uint8_t kind, bool multi, const DataType& type) {
  switch (kind) {
    case wire::kTrustedTimestamp:
      return SkipReason::DeprecatedType;
    case wire::kStatusEvent:
      return SkipReason::StatusEvent;
    case wire::kMessageEvent:
      if (multi || !is_variable(type)) return SkipReason::ReservedType;
      return std::nullopt;
    case wire::kContinuedData:
    case wire::kStartData:
    case wire::kContinuedRelStampData:
    case wire::kAbsTimeStampData:
      return std::nullopt;
    default:
      return SkipReason::ReservedType;
  }
}

BlockReader::BlockReader(BufferedInput input, const MetaBlock& meta)
    : input_(std::move(input)),
      strings_terminated_(meta.format_version == 4),
      started_(std::chrono::steady_clock::now()) {
  for (const meta::Channel& channel : meta.channels) {
    ChannelStats& entry = stats_.channels[channel.index];
    entry = ChannelStats();
    entry.name = channel.name;
    if (channel.datatype.id() == DataTypeId::Unsupported) ++stats_.channels_unsupported;
    add_channel(channel.index, ChannelEntry{channel.datatype, channel.sizeoflengthvalue, &entry});
  }
  stats_.channels_total = meta.channels.size();
}

// A redefined index keeps the last definition.
void BlockReader::add_channel(std::uint16_t index, ChannelEntry entry) {
  if (slots_.size() <= index) slots_.resize(std::size_t{index} + 1);
  if (slots_[index] != 0) {
    entries_[slots_[index] - 1] = std::move(entry);
    return;
  }
  entries_.push_back(std::move(entry));
  slots_[index] = static_cast<std::uint32_t>(entries_.size());
}

ReaderStats BlockReader::stats() const {
  ReaderStats stats = stats_;
  stats.elapsed = std::chrono::steady_clock::now() - started_;
  stats.compute_totals();
  return stats;
}

BlockReader::Item BlockReader::end() noexcept {
  finished_ = true;
  return std::optional<DecodedBlock>();
}

BlockReader::Item BlockReader::truncated() noexcept {
  stats_.blocks_truncated = 1;
  return end();
}

BlockReader::Item BlockReader::fail(Error error) noexcept {
  finished_ = true;
  return std::unexpected(std::move(error));
}

Result<std::uint64_t> BlockReader::drop(std::uint64_t count) {
  auto dropped = input_.discard(count);
  if (!dropped) {
    finished_ = true;
    return std::unexpected(std::move(dropped).error());
  }
  return dropped;
}

Result<bool> BlockReader::read_payload(std::uint32_t length, std::size_t have) {
  while (have < length) {
    const std::size_t step = std::max(have, kPayloadGrowStep);
    const std::size_t target = std::min<std::size_t>(length, std::max(buffer_.size(), have + step));
    if (buffer_.size() < target) buffer_.resize(target);
    QEL_ASSIGN_OR_RETURN(const bool complete,
                         read_field(std::span(buffer_).subspan(have, target - have)));
    if (!complete) return false;
    have = target;
  }
  return true;
}

BlockReader::Item BlockReader::next() {
  if (finished_) return std::optional<DecodedBlock>();
  std::array<std::uint8_t, 2> index_bytes;
  QEL_ASSIGN_OR_RETURN(const bool complete, read_field(index_bytes));
  if (!complete) return end();
  stats_.data_section_size_bytes += 2;
  const auto index = load_le<std::uint16_t>(index_bytes.data());
  if (index == wire::kTrailerMarker) return read_trailer();
  if (index == wire::kSignatureMarker && integrity_ != IntegrityProfile::none)
    return read_signature();
  const ChannelEntry* channel = find_channel(index);
  if (channel == nullptr) return fail(Error::unknown_channel_index(index));
  return read_frame(index, index_bytes, *channel);
}

BlockReader::Item BlockReader::read_trailer() {
  stats_.data_section_size_bytes += 4;
  stats_.trailer_seen = true;
  std::array<std::uint8_t, 4> length_bytes;
  QEL_ASSIGN_OR_RETURN(const bool has_length, read_field(length_bytes));
  if (!has_length) return truncated();
  const auto length = load_le<std::uint32_t>(length_bytes.data());
  QEL_ASSIGN_OR_RETURN(const std::uint64_t dropped, drop(length));
  if (dropped == length) {
    stats_.data_section_size_bytes += length;
  } else {
    stats_.blocks_truncated = 1;
  }
  std::array<std::uint8_t, wire::kTailBytes> tail;
  QEL_ASSIGN_OR_RETURN(const bool has_tail, read_field(tail));
  if (has_tail) {
    stats_.data_section_size_bytes += wire::kTailBytes;
    if (!std::equal(wire::kTailMagic.begin(), wire::kTailMagic.end(), tail.begin()))
      log_tail_mismatch(tail);
  }
  return end();
}

BlockReader::Item BlockReader::read_signature() {
  std::array<std::uint8_t, 4> length_bytes;
  QEL_ASSIGN_OR_RETURN(const bool has_length, read_field(length_bytes));
  if (!has_length) return truncated();
  stats_.data_section_size_bytes += 4;
  const auto length = load_le<std::uint32_t>(length_bytes.data());
  QEL_ASSIGN_OR_RETURN(const std::uint64_t dropped, drop(length));
  if (dropped < length) return truncated();
  stats_.data_section_size_bytes += length;
  return skip(wire::kSignatureMarker, length, SkipReason::SignatureBlock);
}

BlockReader::Item BlockReader::read_frame(std::uint16_t index,
                                          std::span<const std::uint8_t, 2> index_bytes,
                                          const ChannelEntry& channel) {
  const std::uint8_t width = channel.length_width;
  if (width != 2 && width != 4) {
    return fail(Error::invalid_metablock(
        "channel sizeoflengthvalue=" + std::to_string(width) +
        " reached the block reader; must be 2 or 4 (validated in the metablock parser)"));
  }
  std::array<std::uint8_t, 4> length_bytes{};
  const auto length_field = std::span(length_bytes).first(width);
  bool has_length = false;
  std::uint32_t length = 0;
  // Read and loaded at its own width: a wider load of the bytes just stored
  // would wait for the store to finish, on every block.
  if (width == 2) {
    QEL_ASSIGN_OR_RETURN(has_length, read_field(length_field.first<2>()));
    if (has_length) length = load_le<std::uint16_t>(length_bytes.data());
  } else {
    QEL_ASSIGN_OR_RETURN(has_length, read_field(length_field.first<4>()));
    if (has_length) length = load_le<std::uint32_t>(length_bytes.data());
  }
  if (!has_length) return truncated();
  stats_.data_section_size_bytes += width;
  if (length == 0) {
    QEL_WARN(log::kReader, "channel " + std::to_string(index) +
                               ": zero-length block (non-conforming writer output); block skipped");
    return skip(index, 0, SkipReason::ZeroLength);
  }
  if (channel.data_type.id() == DataTypeId::Unsupported) return skip_unsupported(index, length);
  const Frame frame{index, index_bytes, length_field, length};
  if (placed_target_ != nullptr && length >= kPlacedRunMinBytes && channel.data_type.is_numeric()) {
    return read_placed(frame, channel);
  }
  return read_buffered(frame, channel, 0);
}

BlockReader::Item BlockReader::read_buffered(const Frame& frame, const ChannelEntry& channel,
                                             std::size_t have) {
  if (have != 0 || frame.length > BufferedInput::kWindowBytes) {
    return read_long(frame, channel, have);
  }
  QEL_ASSIGN_OR_RETURN(const std::uint8_t* taken, take_payload(frame.length));
  if (taken == nullptr) return truncated();
  return checked(frame, channel, std::span(taken, frame.length));
}

BlockReader::Item BlockReader::read_long(const Frame& frame, const ChannelEntry& channel,
                                         std::size_t have) {
  // The control byte decides before the rest is read, so a block that is
  // skipped anyway is never buffered.
  if (have == 0) {
    if (buffer_.empty()) buffer_.resize(1);
    QEL_ASSIGN_OR_RETURN(const bool has_control, read_field(std::span(buffer_).first(1)));
    if (!has_control) return truncated();
    have = 1;
  }
  if (const auto reason =
          skip_reason(buffer_[0] & 0x7F, (buffer_[0] & 0x80) != 0, channel.data_type)) {
    return skip_streamed(frame, have, *reason);
  }
  QEL_ASSIGN_OR_RETURN(const bool has_payload, read_payload(frame.length, have));
  if (!has_payload) return truncated();
  return checked(frame, channel, std::span<const std::uint8_t>(buffer_).first(frame.length));
}

BlockReader::Item BlockReader::checked(const Frame& frame, const ChannelEntry& channel,
                                       std::span<const std::uint8_t> payload) {
  stats_.data_section_size_bytes += frame.length;
  if (integrity_ != IntegrityProfile::none) {
    if (frame.length < 5) return skip(frame.index, frame.length, SkipReason::CrcFailed);
    payload = payload.first(frame.length - 4);
    const std::uint32_t computed =
        crc32c_extend(crc32c_extend(crc32c(frame.index_bytes), frame.length_field), payload);
    if (computed != load_le<std::uint32_t>(payload.data() + payload.size())) {
      return skip(frame.index, frame.length, SkipReason::CrcFailed);
    }
  }
  return decode(frame.index, channel, frame.length, payload);
}

BlockReader::Item BlockReader::skip_streamed(const Frame& frame, std::size_t have,
                                             SkipReason reason) {
  const std::uint8_t kind = buffer_[0] & 0x7F;
  QEL_ASSIGN_OR_RETURN(const FrameEnd end,
                       stream_to_end(frame.length - have - crc_bytes(), head_crc(frame, have)));
  if (end == FrameEnd::truncated) return truncated();
  stats_.data_section_size_bytes += frame.length;
  if (end == FrameEnd::corrupt) return skip(frame.index, frame.length, SkipReason::CrcFailed);
  return skip(frame.index, frame.length, reason, kind);
}

std::uint32_t BlockReader::head_crc(const Frame& frame, std::size_t have) const noexcept {
  if (crc_bytes() == 0) return 0;
  return crc32c_extend(crc32c_extend(crc32c(frame.index_bytes), frame.length_field),
                       std::span(buffer_).first(have));
}

Result<BlockReader::FrameEnd> BlockReader::stream_to_end(std::uint64_t count, std::uint32_t crc) {
  for (std::uint64_t done = 0; done < count;) {
    const auto piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kStreamPiece));
    if (buffer_.size() < piece) buffer_.resize(piece);
    QEL_ASSIGN_OR_RETURN(const bool complete, read_checked(std::span(buffer_).first(piece), crc));
    if (!complete) return FrameEnd::truncated;
    done += piece;
  }
  if (crc_bytes() == 0) return FrameEnd::intact;
  std::array<std::uint8_t, 4> stored;
  QEL_ASSIGN_OR_RETURN(const bool has_crc, read_field(stored));
  if (!has_crc) return FrameEnd::truncated;
  return load_le<std::uint32_t>(stored.data()) == crc ? FrameEnd::intact : FrameEnd::corrupt;
}

BlockReader::Item BlockReader::skip_unsupported(std::uint16_t index, std::uint32_t length) {
  QEL_ASSIGN_OR_RETURN(const std::uint64_t dropped, drop(length));
  if (dropped < length) {
    stats_.blocks_truncated = 1;
    return fail(Error::io_message("stream truncated mid-skip-payload"));
  }
  stats_.data_section_size_bytes += length;
  return skip(index, length, SkipReason::UnsupportedDataType);
}

BlockReader::Item BlockReader::decode(std::uint16_t index, const ChannelEntry& channel,
                                      std::uint32_t length, std::span<const std::uint8_t> payload) {
  const std::uint8_t kind = payload[0] & wire::kKindMask;
  const bool multi = (payload[0] & wire::kMultiSample) != 0;
  const DataType& type = channel.data_type;
  if (const auto reason = skip_reason(kind, multi, type)) {
    return skip(index, length, *reason, kind);
  }
  const auto body = payload.subspan(1);
  switch (kind) {
    case wire::kMessageEvent:
      return decoded<AbsTimestamped>(index, channel, length, parse_message_event(body, type));
    case wire::kContinuedData:
      return decoded<ContinuedData>(index, channel, length,
                                    parse_continued_data(body, type, multi));
    case wire::kStartData:
      return decoded<StartData>(index, channel, length, parse_start_data(body, type, multi));
    case wire::kContinuedRelStampData:
      return decoded<RelTimestamped>(index, channel, length,
                                     parse_continued_rel_stamp_data(body, type, multi));
    default:
      return decoded<AbsTimestamped>(
          index, channel, length, parse_abs_timestamp_data(body, type, multi, strings_terminated_));
  }
}

// Counted from the decoder's result before the block is built from it: a
// copy right behind the decoder's stores would wait for them to land.
template <class Kind, class Payload>
BlockReader::Item BlockReader::decoded(std::uint16_t index, const ChannelEntry& channel,
                                       std::uint32_t length, Result<Payload> payload) {
  if (!payload) return std::unexpected(std::move(payload).error());
  count_payload(channel, length, *payload);
  return Item(std::in_place, std::in_place, index, Kind{*payload});
}

BlockReader::Item BlockReader::skip(std::uint16_t index, std::uint32_t length, SkipReason reason,
                                    std::optional<std::uint8_t> kind) {
  ++(stats_.*kSkipCounters[static_cast<std::size_t>(reason)]);
  ChannelStats& channel = stats_.channels[index];
  ++channel.blocks_skipped;
  channel.bytes += length;
  return DecodedBlock{index, Skipped{reason, length, kind}};
}

void BlockReader::count_decoded(const ChannelEntry& channel, std::uint32_t length,
                                const BlockKind& block) {
  std::visit([&](const auto& kind) { count_payload(channel, length, payload_of(kind)); }, block);
}

template <class Payload>
void BlockReader::count_payload(const ChannelEntry& entry, std::uint32_t length,
                                const Payload& payload) {
  ++stats_.blocks_read;
  ChannelStats& channel = *entry.stats;
  ++channel.blocks_read;
  channel.bytes += length;
  channel.samples += samples_in(payload);
  widen_range(channel, payload);
}

}  // namespace qel
