#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qel/error.hpp"

namespace qel {

// The variants of DataType, in the order the error texts and NumericValues use.
enum class DataTypeId : std::uint8_t {
  Bool,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float,
  Double,
  String,
  Binary,
  ByteArray,
  GpsLocation,
  Unsupported,
};

// Type of the sample values of a channel; `Unsupported` carries the spelling
// this build did not recognise.
class DataType {
 public:
  constexpr DataType(DataTypeId id = DataTypeId::Bool) noexcept : id_(id) {}  // NOLINT
  static DataType unsupported(std::string spelling);

  DataTypeId id() const noexcept { return id_; }
  const std::string& unsupported_spelling() const noexcept { return spelling_; }
  // Bool to Double: the eleven types of equidistant and relative-timestamp blocks.
  bool is_numeric() const noexcept { return id_ <= DataTypeId::Double; }
  // The type the samples are decoded and kept as: ByteArray is Binary under
  // another name, every other type is itself.
  DataTypeId sample_type() const noexcept {
    return id_ == DataTypeId::ByteArray ? DataTypeId::Binary : id_;
  }
  // Bytes of one value in block payloads, absent for variable-length types.
  std::optional<std::size_t> fixed_size() const noexcept;
  // The variant name of error messages: Int8, Double, Unsupported("x").
  std::string display_name() const;
  // The spelling written to metablocks; ByteArray and Unsupported have none.
  std::optional<std::string_view> wire_spelling() const noexcept;

  friend bool operator==(const DataType&, const DataType&) = default;

 private:
  DataTypeId id_;
  std::string spelling_;
};

enum class ChannelTypeId : std::uint8_t { Scalar, Vector, Matrix, Binary, Other };

// Structure of one sample as the metablock declares it; `Other` carries the
// unrecognised spelling verbatim.
class ChannelType {
 public:
  constexpr ChannelType(ChannelTypeId id = ChannelTypeId::Scalar) noexcept : id_(id) {}  // NOLINT
  static ChannelType other(std::string spelling);

  ChannelTypeId id() const noexcept { return id_; }
  // "scalar", "vector", "matrix", "binary", or the carried spelling.
  std::string_view wire_spelling() const noexcept;

  friend bool operator==(const ChannelType&, const ChannelType&) = default;

 private:
  ChannelTypeId id_;
  std::string spelling_;
};

enum class SpectrumType : std::uint8_t { Amplitude, RealImag, AmpPhaseRad, AmpPhaseDeg };

std::string_view wire_spelling(SpectrumType type) noexcept;

// The type or channel type of exactly this metablock spelling, or nothing:
// no aliases, no withdrawn spellings, nothing logged.
std::optional<DataTypeId> data_type_from_wire(std::string_view text) noexcept;
std::optional<ChannelTypeId> channel_type_from_wire(std::string_view text) noexcept;

// The vocabulary parsers shared by both metablock readers.
Result<DataType> parse_data_type(std::string_view text);
ChannelType parse_channel_type(std::string_view text);
SpectrumType spectrum_type_from_wire(std::string_view text);
Result<std::uint8_t> validate_size_of_length_value(std::uint32_t value);

}  // namespace qel
