#include "qel/types.hpp"

#include <array>
#include <utility>

#include "qel/log.hpp"

namespace qel {
namespace {

struct DataTypeInfo {
  std::string_view display;
  std::string_view wire;
  std::size_t size;
};

// Indexed by DataTypeId; an empty wire spelling or size 0 means none.
constexpr std::array<DataTypeInfo, 16> kDataTypes{{
    {"Bool", "bool", 1},
    {"Int8", "int8", 1},
    {"Int16", "int16", 2},
    {"Int32", "int32", 4},
    {"Int64", "int64", 8},
    {"UInt8", "uint8", 1},
    {"UInt16", "uint16", 2},
    {"UInt32", "uint32", 4},
    {"UInt64", "uint64", 8},
    {"Float", "float", 4},
    {"Double", "double", 8},
    {"String", "string", 0},
    {"Binary", "binary", 0},
    {"ByteArray", "", 0},
    {"GpsLocation", "gpslocation", 24},
    {"Unsupported", "", 0},
}};

constexpr std::array<std::string_view, 4> kChannelTypes{"scalar", "vector", "matrix", "binary"};
constexpr std::array<std::string_view, 4> kSpectrumTypes{"amplitude", "realimag", "ampphaserad",
                                                         "ampphasedeg"};

struct RemovedSpelling {
  std::string_view spelling;
  std::string_view replacement;
};

constexpr std::array<RemovedSpelling, 4> kRemovedDataTypes{{
    {"pair", "two or three separate double channels"},
    {"triple", "two or three separate double channels"},
    {"gpsdata", "gpslocation"},
    {"candata", "binary with an application-specific MIME type"},
}};

const DataTypeInfo& info(DataTypeId id) {
  return kDataTypes[static_cast<std::size_t>(id)];
}

}  // namespace

DataType DataType::unsupported(std::string spelling) {
  DataType type(DataTypeId::Unsupported);
  type.spelling_ = std::move(spelling);
  return type;
}

std::optional<std::size_t> DataType::fixed_size() const noexcept {
  const std::size_t size = info(id_).size;
  if (size == 0) return std::nullopt;
  return size;
}

std::string DataType::display_name() const {
  if (id_ == DataTypeId::Unsupported) return "Unsupported(" + quoted(spelling_) + ")";
  return std::string(info(id_).display);
}

std::optional<std::string_view> DataType::wire_spelling() const noexcept {
  const std::string_view wire = info(id_).wire;
  if (wire.empty()) return std::nullopt;
  return wire;
}

ChannelType ChannelType::other(std::string spelling) {
  ChannelType type(ChannelTypeId::Other);
  type.spelling_ = std::move(spelling);
  return type;
}

std::string_view ChannelType::wire_spelling() const noexcept {
  if (id_ == ChannelTypeId::Other) return spelling_;
  return kChannelTypes[static_cast<std::size_t>(id_)];
}

std::string_view wire_spelling(SpectrumType type) noexcept {
  return kSpectrumTypes[static_cast<std::size_t>(type)];
}

std::optional<DataTypeId> data_type_from_wire(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kDataTypes.size(); ++i) {
    if (!kDataTypes[i].wire.empty() && kDataTypes[i].wire == text) {
      return static_cast<DataTypeId>(i);
    }
  }
  return std::nullopt;
}

std::optional<ChannelTypeId> channel_type_from_wire(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kChannelTypes.size(); ++i) {
    if (kChannelTypes[i] == text) return static_cast<ChannelTypeId>(i);
  }
  return std::nullopt;
}

Result<DataType> parse_data_type(std::string_view text) {
  if (const auto id = data_type_from_wire(text)) return DataType(*id);
  if (text == "bytearray") {
    QEL_DEBUG(log::kMeta,
              "datatype \"bytearray\": read-side alias used, normalising to \"binary\"");
    return DataType(DataTypeId::Binary);
  }
  for (const auto& removed : kRemovedDataTypes) {
    if (removed.spelling == text) {
      return std::unexpected(Error::removed_field("datatype", text, removed.replacement));
    }
  }
  QEL_WARN(log::kMeta, "datatype " + quoted(text) +
                           " is not known to this build; channel kept as Unsupported, block "
                           "reads will fail");
  return DataType::unsupported(std::string(text));
}

ChannelType parse_channel_type(std::string_view text) {
  if (const auto id = channel_type_from_wire(text)) return ChannelType(*id);
  QEL_WARN(log::kMeta,
           "channeltype " + quoted(text) + " is not a known QEL channel type; kept verbatim");
  return ChannelType::other(std::string(text));
}

SpectrumType spectrum_type_from_wire(std::string_view text) {
  for (std::size_t i = 0; i < kSpectrumTypes.size(); ++i) {
    if (kSpectrumTypes[i] == text) return static_cast<SpectrumType>(i);
  }
  QEL_WARN(log::kMeta, "unknown spectrum type " + quoted(text) + "; defaulting to amplitude");
  return SpectrumType::Amplitude;
}

Result<std::uint8_t> validate_size_of_length_value(std::uint32_t value) {
  if (value == 2 || value == 4) return static_cast<std::uint8_t>(value);
  return std::unexpected(
      Error::invalid_metablock("sizeoflengthvalue must be 2 or 4, got " + std::to_string(value)));
}

}  // namespace qel
