#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "payload/block.hpp"
#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel {

// Collects the decoded blocks of one channel during a load. The first data
// block of a numeric channel decides its storage; blocks of the other family
// then fail the load.
class ChannelBuilder {
 public:
  explicit ChannelBuilder(const meta::Channel& definition);

  // Appends the samples of one decoded block of this channel.
  Status apply_block(const BlockKind& block);

  // The finished channel; nothing for a channel of an unsupported data type.
  std::optional<Channel> finalize() &&;

  // A run the block reader reads straight into this channel's values: begun
  // only when its block would be accepted, then extended piece by piece,
  // and finally either applied as a placed run or cancelled.
  bool begin_placed(bool starts_segment);
  std::uint8_t* extend_placed(std::size_t count);
  void cancel_placed() noexcept;

  // Time of the last sample appended, absent until the first one.
  std::optional<std::int64_t> anchor() const noexcept { return anchor_; }

 private:
  struct Empty {};
  struct Unsupported {};
  using State =
      std::variant<Empty, EquidistantStorage, TimestampedStorage, VariableChannel, Unsupported>;

  Status check_data_type(const BlockKind& block) const;
  Status apply(const StartData& block);
  Status apply(const ContinuedData& block);
  Status apply(const AbsTimestamped& block);
  Status apply(const RelTimestamped& block);
  Status apply(const Skipped&) { return {}; }
  Status extend_numeric(NumericValues& values, const NumericRun& run) const;
  Result<TimestampedStorage> init_timestamped_from_payload(const TimestampedPayload& payload) const;

  std::uint16_t index_;
  std::string name_;
  DataType data_type_;
  ChannelMeta meta_;
  State state_;
  std::optional<std::int64_t> anchor_;
  // Size of the values when the placed run began.
  std::size_t placed_from_ = 0;
};

}  // namespace qel
