// The checks of channel definitions and sample calls, shared by the builder
// and the streaming writer so that both refuse the same calls with the same
// messages, in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>

#include "qel/data_channel.hpp"
#include "qel/error.hpp"
#include "qel/types.hpp"
#include "qel/writer.hpp"

namespace qel {

// What a channel's samples have been so far; once it leaves `empty` it never
// changes.
enum class StorageKind : std::uint8_t { empty, equidistant, timestamped, variable };

// The data type a channel must declare for timestamped samples of element type T.
template <class T>
constexpr DataTypeId data_type_of_element() noexcept {
  if constexpr (std::is_same_v<T, bool>) return DataTypeId::Bool;
  if constexpr (std::is_same_v<T, std::int8_t>) return DataTypeId::Int8;
  if constexpr (std::is_same_v<T, std::int16_t>) return DataTypeId::Int16;
  if constexpr (std::is_same_v<T, std::int32_t>) return DataTypeId::Int32;
  if constexpr (std::is_same_v<T, std::int64_t>) return DataTypeId::Int64;
  if constexpr (std::is_same_v<T, std::uint8_t>) return DataTypeId::UInt8;
  if constexpr (std::is_same_v<T, std::uint16_t>) return DataTypeId::UInt16;
  if constexpr (std::is_same_v<T, std::uint32_t>) return DataTypeId::UInt32;
  if constexpr (std::is_same_v<T, std::uint64_t>) return DataTypeId::UInt64;
  if constexpr (std::is_same_v<T, float>) return DataTypeId::Float;
  if constexpr (std::is_same_v<T, double>) return DataTypeId::Double;
  if constexpr (std::is_same_v<T, GpsPoint>) return DataTypeId::GpsLocation;
}

// A definition that may become channel number `channel_count`.
Status check_channel_def(const ChannelDef& def, std::size_t channel_count);

// The definition of `channel`, or ChannelNotFound.
Result<const ChannelDef*> declared_channel(std::span<const ChannelDef> defs, std::uint16_t channel);

// An equidistant segment of `values_type` values at `sample_rate_hz`.
Status check_equidistant(std::span<const ChannelDef> defs, std::uint16_t channel,
                         DataTypeId values_type, double sample_rate_hz, StorageKind current);

// Timestamped samples of the element type whose data type is `required`.
Status check_timestamped(std::span<const ChannelDef> defs, std::uint16_t channel,
                         DataTypeId required, std::size_t timestamps, std::size_t values,
                         StorageKind current);

// String (`type` String, texts must be UTF-8) or binary samples.
Status check_variable(std::span<const ChannelDef> defs, std::uint16_t channel, DataTypeId type,
                      std::size_t timestamps, std::size_t values, StorageKind current);
Status check_utf8(std::uint16_t channel, std::span<const std::string_view> values);

}  // namespace qel
