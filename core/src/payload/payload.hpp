#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "payload/block.hpp"
#include "qel/error.hpp"
#include "qel/types.hpp"

namespace qel {

// The decoders of block bodies (the payload after the control byte). They
// check every length against the bytes present and return views into
// `payload`; no count read from the payload sizes an allocation.

// A read position inside one payload.
class PayloadCursor {
 public:
  explicit PayloadCursor(std::span<const std::uint8_t> payload) noexcept : payload_(payload) {}

  std::size_t remaining() const noexcept { return payload_.size() - position_; }
  const std::uint8_t* here() const noexcept { return payload_.data() + position_; }
  void advance(std::size_t n) noexcept { position_ += n; }

 private:
  std::span<const std::uint8_t> payload_;
  std::size_t position_ = 0;
};

// bcStartData: start timestamp, sample rate, then one value or a counted run.
Result<NumericPayload> parse_start_data(std::span<const std::uint8_t> payload, const DataType& type,
                                        bool multi_sample);
// bcContinuedData: one value or a counted run.
Result<NumericRun> parse_continued_data(std::span<const std::uint8_t> payload, const DataType& type,
                                        bool multi_sample);
// `n` values of `type` from the cursor's position, advancing it.
Result<NumericRun> read_numeric_n(PayloadCursor& cursor, const DataType& type, std::uint64_t n);

// bcAbsTimeStampData of any channel; string and binary channels go to
// parse_abs_timestamp_string_or_binary. `strings_terminated` is true for
// version-4 files.
Result<TimestampedPayload> parse_abs_timestamp_data(std::span<const std::uint8_t> payload,
                                                    const DataType& type, bool multi_sample,
                                                    bool strings_terminated);
// bcContinuedRelStampData of a numeric channel.
Result<RelTimestampedPayload> parse_continued_rel_stamp_data(std::span<const std::uint8_t> payload,
                                                             const DataType& type,
                                                             bool multi_sample);
// Timestamps of the first and of the last record, in payload order.
std::optional<std::pair<std::int64_t, std::int64_t>> abs_timestamp_range(
    const TimestampedPayload& payload) noexcept;

Result<TimestampedPayload> parse_abs_timestamp_string_or_binary(
    std::span<const std::uint8_t> payload, const DataType& type, bool multi_sample,
    bool strings_terminated);
// bcMessageEvent: one timestamped value with an explicit length.
Result<TimestampedPayload> parse_message_event(std::span<const std::uint8_t> payload,
                                               const DataType& type);
// Checks the samples against the channel's type (strings must be UTF-8);
// `kind` names the block kind in messages.
Result<TimestampedPayload> build_string_or_binary(std::string_view kind, const DataType& type,
                                                  const VariableRecords& samples);

// Bytes of one record of a timestamped numeric or GPS block.
std::size_t record_size(const TimestampedRecords& records) noexcept;

}  // namespace qel
