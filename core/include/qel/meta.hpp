#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qel/error.hpp"
#include "qel/types.hpp"

namespace qel {

// File-level information; every member is absent unless the metablock gave it.
struct FileInfo {
  std::optional<std::string> created_utc;
  std::optional<std::string> creator;
  std::optional<std::string> reason;
  std::optional<std::string> tag;
  std::optional<std::string> comment;
  std::optional<std::string> namespacesep;
  std::optional<double> created_at_latitude;
  std::optional<double> created_at_longitude;
  std::optional<double> created_at_altitude;
};

// The text members of the file information with their wire names.
struct FileInfoText {
  std::optional<std::string> FileInfo::*member;
  std::string_view name;
};

inline constexpr std::array<FileInfoText, 6> kFileInfoTexts{{
    {&FileInfo::created_utc, "created_utc"},
    {&FileInfo::creator, "creator"},
    {&FileInfo::reason, "reason"},
    {&FileInfo::tag, "tag"},
    {&FileInfo::comment, "comment"},
    {&FileInfo::namespacesep, "namespacesep"},
}};

// The older spellings of the creation position, read only when the current
// one is absent.
struct PositionAlternative {
  std::optional<double> FileInfo::*member;
  std::string_view alternative;
  std::string_view primary;
};

inline constexpr std::array<PositionAlternative, 3> kPositionAlternatives{{
    {&FileInfo::created_at_latitude, "latitude", "created_at_latitude"},
    {&FileInfo::created_at_longitude, "longitude", "created_at_longitude"},
    {&FileInfo::created_at_altitude, "altitude", "created_at_altitude"},
}};

// The wire names of the file information: JSON keys and XML attributes alike.
inline constexpr std::array<std::string_view, 12> kFileInfoFieldNames{"created_utc",
                                                                      "creator",
                                                                      "reason",
                                                                      "tag",
                                                                      "comment",
                                                                      "namespacesep",
                                                                      "created_at_latitude",
                                                                      "created_at_longitude",
                                                                      "created_at_altitude",
                                                                      "latitude",
                                                                      "longitude",
                                                                      "altitude"};

// The wire names of a channel definition's members.
inline constexpr std::array<std::string_view, 13> kChannelFieldNames{
    "index",         "name",      "channeltype",  "datatype",          "sizeoflengthvalue",
    "timeincrement", "mimetype",  "physicalunit", "physicaldimension", "displayname",
    "comment",       "reference", "spectrumtype"};

// Channel members withdrawn from the format, in the order their warnings are
// written: still recognised, never read.
inline constexpr std::array<std::string_view, 8> kWithdrawnChannelFieldNames{"scale",
                                                                             "offset",
                                                                             "physicalunit1",
                                                                             "physicalunit2",
                                                                             "physicalunit3",
                                                                             "physicaldimension1",
                                                                             "physicaldimension2",
                                                                             "physicaldimension3"};

inline bool is_one_of(std::span<const std::string_view> names, std::string_view name) {
  return std::ranges::find(names, name) != names.end();
}

// One free-form entry of the info list.
struct Info {
  std::string name;
  std::string value;
  std::optional<std::string> physicalunit;
  DataType datatype = DataTypeId::String;
};

namespace meta {

// One channel definition as the metablock gives it.
struct Channel {
  std::uint16_t index = 0;
  std::string name;
  ChannelType channeltype;
  DataType datatype;
  std::uint8_t sizeoflengthvalue = 2;
  std::optional<std::int64_t> timeincrement;
  std::optional<std::string> mimetype;
  std::optional<std::string> physicalunit;
  std::optional<std::string> physicaldimension;
  std::optional<std::string> displayname;
  std::optional<std::string> comment;
  std::optional<std::string> reference;
  std::optional<SpectrumType> spectrumtype;
};

// The free-text members of a channel definition with their wire names, in
// the order the readers take them.
struct ChannelText {
  std::optional<std::string> Channel::*member;
  std::string_view name;
};

inline constexpr std::array<ChannelText, 6> kChannelTexts{{
    {&Channel::mimetype, "mimetype"},
    {&Channel::physicalunit, "physicalunit"},
    {&Channel::physicaldimension, "physicaldimension"},
    {&Channel::displayname, "displayname"},
    {&Channel::comment, "comment"},
    {&Channel::reference, "reference"},
}};

}  // namespace meta

struct MetaBlock {
  FileInfo file;
  std::uint32_t format_version = 5;
  std::vector<meta::Channel> channels;
  std::vector<Info> infos;
};

}  // namespace qel
