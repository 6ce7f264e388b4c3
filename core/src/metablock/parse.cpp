#include "metablock/parse.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

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

Status check_opening(std::uint32_t version, std::span<const std::uint8_t> first) {
  constexpr std::array<std::uint8_t, 3> kBom{0xEF, 0xBB, 0xBF};
  // Both parsers skip a UTF-8 byte order mark and the same four white-space bytes.
  std::size_t at = first.size() >= kBom.size() && std::ranges::equal(first.first(3), kBom) ? 3 : 0;
  while (at < first.size() && std::string_view(" \t\n\r").contains(static_cast<char>(first[at]))) {
    ++at;
  }
  if (at == first.size()) return {};
  const char opening = static_cast<char>(first[at]);
  if (opening == (version == 4 ? '<' : '{')) return {};
  if (version == 5 && std::string_view("[\"-0123456789tfn").contains(opening)) {
    return std::unexpected(Error::invalid_metablock("QEL5 root must be a JSON object"));
  }
  // No value or tag starts so: the parse fails right there, whatever follows.
  QEL_TRY(parse_metablock(version, first));
  return {};
}

}  // namespace qel
