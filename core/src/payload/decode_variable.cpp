#include "common/byte_order.hpp"
#include "common/utf8.hpp"
#include "payload/payload_common.hpp"
#include "qel/log.hpp"

namespace qel {

using payload_detail::payload_error;

namespace {

constexpr std::string_view kAbsTimeStampData = "bcAbsTimeStampData";
constexpr std::string_view kMessageEvent = "bcMessageEvent";

// One sample filling a record of `size` bytes: i64 timestamp, then the value,
// whose last byte is the version-4 terminator.
Result<VariableRecords> single_sample(const std::uint8_t* record, std::size_t size,
                                      bool strings_terminated) {
  if (size < 8) return payload_error("AbsTs string/binary ts: failed to fill whole buffer");
  std::size_t value_size = size - 8;
  if (strings_terminated && value_size > 0) --value_size;
  return VariableRecords{DataTypeId::String, record, 1, size, 8, value_size};
}

// N records of equal size S = body / N.
Result<VariableRecords> equal_records(const DataType& type, const std::uint8_t* body,
                                      std::uint32_t n, std::size_t record,
                                      bool strings_terminated) {
  const std::size_t minimum = strings_terminated ? 9 : 8;
  if (record < minimum) {
    return payload_error("bcAbsTimeStampData for " + type.display_name() +
                         " N=" + std::to_string(n) + ": per-sample size " + std::to_string(record) +
                         " is less than " + std::to_string(minimum) + " (need i64 ts" +
                         (strings_terminated ? " + at least the QEL4 null terminator" : "") + ")");
  }
  return VariableRecords{DataTypeId::String, body, n, record, 8, record - minimum};
}

// The records of a bcAbsTimeStampData body, not yet checked against the type.
Result<VariableRecords> abs_records(std::span<const std::uint8_t> payload, const DataType& type,
                                    bool multi_sample, bool strings_terminated) {
  if (!multi_sample) {
    QEL_WARN(log::kReader, "bcAbsTimeStampData for " + type.display_name() +
                               " found with bit 7 clear; spec mandates bit 7 set. Treating as "
                               "implicit N=1.");
    return single_sample(payload.data(), payload.size(), strings_terminated);
  }
  PayloadCursor cursor(payload);
  if (cursor.remaining() < 4) {
    return payload_error("AbsTs string/binary N: failed to fill whole buffer");
  }
  const auto n = load_le<std::uint32_t>(cursor.here());
  cursor.advance(4);
  const std::size_t body = cursor.remaining();
  if (n == 0) return VariableRecords{DataTypeId::String, cursor.here(), 0, 0, 8, 0};
  if (n == 1) return single_sample(cursor.here(), body, strings_terminated);
  if (body % n != 0) {
    QEL_WARN(log::kReader, "bcAbsTimeStampData for " + type.display_name() + " with N=" +
                               std::to_string(n) + " has body length " + std::to_string(body) +
                               " that is not divisible by N; falling back to single-sample parse");
    return single_sample(cursor.here(), body, strings_terminated);
  }
  return equal_records(type, cursor.here(), n, body / n, strings_terminated);
}

// The payload type of a channel's variable samples; nothing for other types.
std::optional<DataTypeId> variable_type(const DataType& type) noexcept {
  const DataTypeId sample_type = type.sample_type();
  if (sample_type == DataTypeId::String || sample_type == DataTypeId::Binary) return sample_type;
  return std::nullopt;
}

// Strings must be UTF-8; `kind` names the block kind in messages.
Status check_utf8(std::string_view kind, const VariableRecords& samples) {
  for (std::size_t i = 0; i < samples.count; ++i) {
    if (const auto invalid = validate_utf8(samples.value(i))) {
      return payload_error(std::string(kind) + " string is not valid UTF-8: " + describe(*invalid));
    }
  }
  return {};
}

}  // namespace

// The records are checked where they lie and then copied once, into the
// result: blocks are many and small, so every copy of them shows.
Result<TimestampedPayload> parse_abs_timestamp_string_or_binary(
    std::span<const std::uint8_t> payload, const DataType& type, bool multi_sample,
    bool strings_terminated) {
  QEL_ASSIGN_OR_RETURN(const VariableRecords& samples,
                       abs_records(payload, type, multi_sample, strings_terminated));
  return build_string_or_binary(kAbsTimeStampData, type, samples);
}

Result<TimestampedPayload> parse_message_event(std::span<const std::uint8_t> payload,
                                               const DataType& type) {
  if (payload.size() < 8) return payload_error("MessageEvent ts: failed to fill whole buffer");
  if (payload.size() < 12) {
    return payload_error("MessageEvent length prefix: failed to fill whole buffer");
  }
  const auto declared = load_le<std::uint32_t>(payload.data() + 8);
  const std::size_t available = payload.size() - 12;
  if (available < declared) {
    return payload_error("MessageEvent payload truncated: " + std::to_string(declared) +
                         " bytes declared, " + std::to_string(available) + " available");
  }
  const VariableRecords sample{DataTypeId::String, payload.data(), 1, payload.size(), 12, declared};
  return build_string_or_binary(kMessageEvent, type, sample);
}

Result<TimestampedPayload> build_string_or_binary(std::string_view kind, const DataType& type,
                                                  const VariableRecords& samples) {
  const std::optional<DataTypeId> family = variable_type(type);
  if (!family) {
    return payload_error("build_string_or_binary called with non-string/binary datatype " +
                         type.display_name() + " for " + std::string(kind));
  }
  if (*family == DataTypeId::String) QEL_TRY(check_utf8(kind, samples));
  VariableRecords typed = samples;
  typed.type = *family;
  return typed;
}

}  // namespace qel
