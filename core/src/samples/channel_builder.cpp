#include "samples/channel_builder.hpp"

#include <bit>
#include <utility>

#include "samples/append_samples.hpp"

namespace qel {
namespace {

ChannelMeta meta_of(const meta::Channel& definition) {
  return ChannelMeta{
      .channel_type = definition.channeltype,
      .physical_unit = definition.physicalunit,
      .physical_dimension = definition.physicaldimension,
      .display_name = definition.displayname,
      .mime_type = definition.mimetype,
      .reference = definition.reference,
      .comment = definition.comment,
      .size_of_length_value = definition.sizeoflengthvalue,
      .time_increment_ns = definition.timeincrement,
      .spectrum_type = definition.spectrumtype,
  };
}

// The data type a decoded block's values are of; nothing for a skip.
std::optional<DataTypeId> payload_type(const BlockKind& block) noexcept {
  struct Type {
    std::optional<DataTypeId> operator()(const StartData& b) const noexcept {
      return b.payload.values.type;
    }
    std::optional<DataTypeId> operator()(const ContinuedData& b) const noexcept {
      return b.values.type;
    }
    std::optional<DataTypeId> operator()(const AbsTimestamped& b) const noexcept {
      return std::visit([](const auto& records) { return records.type; }, b.payload);
    }
    std::optional<DataTypeId> operator()(const RelTimestamped& b) const noexcept {
      return b.payload.type;
    }
    std::optional<DataTypeId> operator()(const Skipped&) const noexcept { return std::nullopt; }
  };
  return std::visit(Type{}, block);
}

// Variable payloads say Binary for ByteArray channels too. Payload types are
// never Unsupported, so comparing the ids is comparing the types.
bool matches(const DataType& channel, DataTypeId payload) noexcept {
  return channel.sample_type() == payload;
}

std::int64_t last_sample_time(const Segment& segment) noexcept {
  return sample_time(segment.start_timestamp_ns, segment.sample_rate_hz, segment.sample_count - 1);
}

}  // namespace

ChannelBuilder::ChannelBuilder(const meta::Channel& definition)
    : index_(definition.index),
      name_(definition.name),
      data_type_(definition.datatype),
      meta_(meta_of(definition)) {
  switch (data_type_.sample_type()) {
    case DataTypeId::String:
      state_ = VariableChannel{.timestamps = {}, .strings = ByteStringList(), .binaries = {}};
      break;
    case DataTypeId::Binary:
      state_ = VariableChannel{.timestamps = {}, .strings = {}, .binaries = ByteStringList()};
      break;
    case DataTypeId::Unsupported:
      state_ = Unsupported{};
      break;
    default:
      state_ = Empty{};
      break;
  }
}

Status ChannelBuilder::apply_block(const BlockKind& block) {
  QEL_TRY(check_data_type(block));
  return std::visit([this](const auto& kind) { return apply(kind); }, block);
}

Status ChannelBuilder::check_data_type(const BlockKind& block) const {
  const std::optional<DataTypeId> got = payload_type(block);
  if (!got || matches(data_type_, *got)) return {};
  return std::unexpected(
      Error::data_type_mismatch(index_, data_type_.display_name(), DataType(*got).display_name()));
}

Status ChannelBuilder::extend_numeric(NumericValues& values, const NumericRun& run) const {
  const DataType got = run.type;
  if (data_type_of(values) != got) {
    return std::unexpected(
        Error::data_type_mismatch(index_, data_type_of(values).display_name(), got.display_name()));
  }
  if (!run.placed) append_run(values, run);
  return {};
}

bool ChannelBuilder::begin_placed(bool starts_segment) {
  // Wire bytes are the values themselves only for little-endian numbers;
  // bool bytes are normalised on the way in.
  if (std::endian::native != std::endian::little || !data_type_.is_numeric() ||
      data_type_.id() == DataTypeId::Bool) {
    return false;
  }
  if (starts_segment && std::holds_alternative<Empty>(state_)) {
    state_ = EquidistantStorage{.values = *make_numeric_values(data_type_), .segments = {}};
  }
  auto* storage = std::get_if<EquidistantStorage>(&state_);
  if (storage == nullptr || (!starts_segment && storage->segments.empty())) return false;
  placed_from_ = size_of(storage->values);
  return true;
}

std::uint8_t* ChannelBuilder::extend_placed(std::size_t count) {
  auto& values = std::get<EquidistantStorage>(state_).values;
  return std::visit(
      [count](auto& array) { return reinterpret_cast<std::uint8_t*>(array.extend(count)); },
      values);
}

void ChannelBuilder::cancel_placed() noexcept {
  auto& storage = std::get<EquidistantStorage>(state_);
  std::visit([this](auto& array) { array.truncate(placed_from_); }, storage.values);
  // A channel that had no storage before the run has none again.
  if (storage.segments.empty()) state_ = Empty{};
}

Status ChannelBuilder::apply(const StartData& block) {
  if (std::holds_alternative<Unsupported>(state_)) return {};
  if (std::holds_alternative<Empty>(state_)) {
    state_ = EquidistantStorage{.values = *make_numeric_values(data_type_), .segments = {}};
  }
  auto* storage = std::get_if<EquidistantStorage>(&state_);
  if (storage == nullptr) return std::unexpected(Error::mixed_storage(index_));
  const NumericPayload& run = block.payload;
  const std::size_t offset = size_of(storage->values) - (run.values.placed ? run.values.count : 0);
  const Segment segment{run.start_timestamp_ns, run.sample_rate_hz, offset, run.values.count};
  QEL_TRY(extend_numeric(storage->values, run.values));
  storage->segments.push_back(segment);
  if (segment.sample_count > 0) anchor_ = last_sample_time(segment);
  return {};
}

Status ChannelBuilder::apply(const ContinuedData& block) {
  if (std::holds_alternative<Unsupported>(state_)) return {};
  if (std::holds_alternative<Empty>(state_)) {
    return std::unexpected(Error::continued_without_start(index_));
  }
  auto* storage = std::get_if<EquidistantStorage>(&state_);
  if (storage == nullptr) return std::unexpected(Error::mixed_storage(index_));
  if (storage->segments.empty()) return std::unexpected(Error::continued_without_start(index_));
  QEL_TRY(extend_numeric(storage->values, block.values));
  Segment& segment = storage->segments.back();
  segment.sample_count += block.values.count;
  if (segment.sample_count > 0) anchor_ = last_sample_time(segment);
  return {};
}

Result<TimestampedStorage> ChannelBuilder::init_timestamped_from_payload(
    const TimestampedPayload& payload) const {
  const auto* records = std::get_if<TimestampedRecords>(&payload);
  if (records == nullptr) {
    return std::unexpected(Error::invalid_block_payload(
        "channel " + std::to_string(index_) +
        ": unexpected variable-length payload routed through numeric timestamped init"));
  }
  TimestampedStorage storage{.timestamps = {}, .values = *make_numeric_values(records->type)};
  append_records(storage.timestamps, storage.values, *records);
  return storage;
}

Status ChannelBuilder::apply(const AbsTimestamped& block) {
  const TimestampedPayload& payload = block.payload;
  const auto* numeric = std::get_if<TimestampedRecords>(&payload);
  const auto* variable = std::get_if<VariableRecords>(&payload);
  const CowArray<std::int64_t>* timestamps = nullptr;
  if (std::holds_alternative<Unsupported>(state_)) return {};
  if (std::holds_alternative<Empty>(state_)) {
    QEL_ASSIGN_OR_RETURN(TimestampedStorage storage, init_timestamped_from_payload(payload));
    timestamps = &state_.emplace<TimestampedStorage>(std::move(storage)).timestamps;
  } else if (auto* stored = std::get_if<TimestampedStorage>(&state_); stored && numeric) {
    append_records(stored->timestamps, stored->values, *numeric);
    timestamps = &stored->timestamps;
  } else if (auto* channel = std::get_if<VariableChannel>(&state_); channel && variable) {
    append_variable(*channel, *variable);
    timestamps = &channel->timestamps;
  } else {
    return std::unexpected(Error::mixed_storage(index_));
  }
  if (sample_count(payload) > 0) anchor_ = timestamps->back();
  return {};
}

Status ChannelBuilder::apply(const RelTimestamped& block) {
  if (!anchor_) return std::unexpected(Error::rel_stamp_without_anchor(index_));
  if (std::holds_alternative<Unsupported>(state_)) return {};
  auto* storage = std::get_if<TimestampedStorage>(&state_);
  if (storage == nullptr) return std::unexpected(Error::mixed_storage(index_));
  anchor_ = append_rel_records(storage->timestamps, storage->values, block.payload, *anchor_);
  return {};
}

std::optional<Channel> ChannelBuilder::finalize() && {
  struct Storage {
    const DataType& type;
    std::optional<ChannelStorage> operator()(Empty&) const {
      return EquidistantStorage{.values = *make_numeric_values(type), .segments = {}};
    }
    std::optional<ChannelStorage> operator()(EquidistantStorage& s) const { return std::move(s); }
    std::optional<ChannelStorage> operator()(TimestampedStorage& s) const { return std::move(s); }
    std::optional<ChannelStorage> operator()(VariableChannel& v) const { return std::move(v); }
    std::optional<ChannelStorage> operator()(Unsupported&) const { return std::nullopt; }
  };
  std::optional<ChannelStorage> storage = std::visit(Storage{data_type_}, state_);
  if (!storage) return std::nullopt;
  shrink_to_fit(*storage);
  return Channel{.index = index_,
                 .name = std::move(name_),
                 .data_type = std::move(data_type_),
                 .meta = std::move(meta_),
                 .storage = std::move(*storage)};
}

}  // namespace qel
