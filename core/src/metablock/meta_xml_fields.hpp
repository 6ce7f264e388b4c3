#pragma once

// The metadata of the XML reader's elements, from their attributes.

#include <cstddef>

#include "metablock/meta_xml_attrs.hpp"
#include "qel/error.hpp"
#include "qel/meta.hpp"

namespace qel::meta_xml {

// One <channel>; `position` counts the channels read so far in the document.
Result<meta::Channel> parse_channel_attrs(const Attributes& attributes, std::size_t position);

// The attributes of the root element <velmaris>.
Result<FileInfo> parse_velmaris_attrs(const Attributes& attributes);

// One <info>.
Result<Info> parse_info_attrs(const Attributes& attributes);

}  // namespace qel::meta_xml
