#include "writer/sample_checks.hpp"

#include <string>

#include "common/utf8.hpp"

namespace qel {
namespace {

Error length_mismatch(std::uint16_t channel, std::size_t timestamps, std::size_t values) {
  return Error::invalid_block_payload("channel " + std::to_string(channel) + ": timestamp len " +
                                      std::to_string(timestamps) + " != values len " +
                                      std::to_string(values));
}

Status check_kind(std::uint16_t channel, StorageKind current, StorageKind wanted) {
  if (current == StorageKind::empty || current == wanted) return {};
  return std::unexpected(Error::mixed_storage(channel));
}

Status check_typed(std::span<const ChannelDef> defs, std::uint16_t channel, DataTypeId required,
                   std::size_t timestamps, std::size_t values, StorageKind current,
                   StorageKind wanted) {
  QEL_ASSIGN_OR_RETURN(const ChannelDef* def, declared_channel(defs, channel));
  if (def->data_type.id() != required) {
    return std::unexpected(Error::data_type_mismatch(channel, def->data_type.display_name(),
                                                     DataType(required).display_name()));
  }
  if (timestamps != values) return std::unexpected(length_mismatch(channel, timestamps, values));
  return check_kind(channel, current, wanted);
}

}  // namespace

Status check_channel_def(const ChannelDef& def, std::size_t channel_count) {
  const auto refuse = [&def](std::string_view reason) {
    return std::unexpected(
        Error::invalid_metablock("channel " + quoted(def.name) + ": " + std::string(reason)));
  };
  if (def.size_of_length_value != 2 && def.size_of_length_value != 4) {
    return refuse("size_of_length_value must be 2 or 4, got " +
                  std::to_string(def.size_of_length_value));
  }
  if (def.data_type.id() == DataTypeId::Unsupported) {
    return refuse("data type Unsupported(_) cannot be written");
  }
  if (def.data_type.id() == DataTypeId::ByteArray) {
    return refuse("bytearray is a read-side alias; writers must declare data type as Binary");
  }
  if (def.channel_type.id() == ChannelTypeId::Other) {
    return refuse("channel type Unsupported(_) cannot be written");
  }
  if (channel_count >= WriterBuilder::kMaxChannels) {
    return std::unexpected(Error::invalid_metablock("writer reached the 65536 channel limit"));
  }
  return {};
}

Result<const ChannelDef*> declared_channel(std::span<const ChannelDef> defs,
                                           std::uint16_t channel) {
  if (channel >= defs.size()) {
    return std::unexpected(Error::channel_not_found("(index " + std::to_string(channel) + ")"));
  }
  return &defs[channel];
}

Status check_equidistant(std::span<const ChannelDef> defs, std::uint16_t channel,
                         DataTypeId values_type, double sample_rate_hz, StorageKind current) {
  QEL_ASSIGN_OR_RETURN(const ChannelDef* def, declared_channel(defs, channel));
  const auto prefix = [channel] { return "channel " + std::to_string(channel) + ": "; };
  const DataTypeId declared = def->data_type.id();
  if (declared != DataTypeId::Float && declared != DataTypeId::Double) {
    return std::unexpected(Error::invalid_block_payload(
        prefix() +
        "equidistant blocks support only float and double per spec rev 2026-05-04 (channel "
        "declares " +
        def->data_type.display_name() + ")"));
  }
  if (values_type != declared) {
    return std::unexpected(Error::data_type_mismatch(channel, def->data_type.display_name(),
                                                     DataType(values_type).display_name()));
  }
  if (!(sample_rate_hz > 0)) {
    return std::unexpected(Error::invalid_block_payload(
        prefix() + "equidistant sample_rate_hz must be > 0, got " + format_rate(sample_rate_hz)));
  }
  return check_kind(channel, current, StorageKind::equidistant);
}

Status check_timestamped(std::span<const ChannelDef> defs, std::uint16_t channel,
                         DataTypeId required, std::size_t timestamps, std::size_t values,
                         StorageKind current) {
  return check_typed(defs, channel, required, timestamps, values, current,
                     StorageKind::timestamped);
}

Status check_variable(std::span<const ChannelDef> defs, std::uint16_t channel, DataTypeId type,
                      std::size_t timestamps, std::size_t values, StorageKind current) {
  return check_typed(defs, channel, type, timestamps, values, current, StorageKind::variable);
}

Status check_utf8(std::uint16_t channel, std::span<const std::string_view> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto invalid = validate_utf8(
        std::span(reinterpret_cast<const std::uint8_t*>(values[i].data()), values[i].size()));
    if (invalid) {
      return std::unexpected(Error::invalid_block_payload(
          "channel " + std::to_string(channel) + ": string sample " + std::to_string(i) +
          " is not valid UTF-8: " + describe(*invalid)));
    }
  }
  return {};
}

}  // namespace qel
