// The version-4 XML metablock reader.
#include <cstdint>

#include "metablock/meta_xml.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto meta = qel::parse_metablock_xml({data, size});
  if (meta && meta->format_version != 4) __builtin_trap();
  return 0;
}
