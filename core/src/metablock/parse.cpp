#include "metablock/parse.hpp"

#include <string>

#include "metablock/meta_json.hpp"
#include "metablock/meta_xml.hpp"

namespace qel {

Result<MetaBlock> parse_metablock(std::uint32_t version, std::span<const std::uint8_t> bytes) {
  switch (version) {
    case 4:
      return parse_metablock_xml(bytes);
    case 5:
      return parse_metablock_json(bytes);
    default:
      // The header parser only ever yields 4 or 5.
      return std::unexpected(Error::unsupported_version("QEL" + std::to_string(version)));
  }
}

}  // namespace qel
