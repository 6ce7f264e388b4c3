#pragma once

// The parts of a version-5 metablock that are read on their own: the "file"
// object and each element of "channels" and of "infos".

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>

#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel::meta_json {

// Objects are std::maps keyed by std::string, so their keys are visited in
// ascending byte order (std::char_traits<char> compares as unsigned char).
using Json = nlohmann::json;

// The compact JSON text of a value without members, as dump() writes it.
std::string leaf_text(const Json& value);

// Each reader gets its part as the document gave it, with a later duplicate
// key in place of an earlier one, except that values it never looks into are
// reduced: a structure read by the text rule arrives as a string holding its
// compact JSON text, any other structure as an empty one of its kind, and
// the value of a key that is only recognised as null.
Result<FileInfo> read_file_info(const Json& file);
Result<meta::Channel> read_channel(const Json& element, std::size_t position);
Result<Info> read_info(const Json& element, std::size_t position);

}  // namespace qel::meta_json
