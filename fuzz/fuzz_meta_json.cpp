// The version-5 JSON metablock reader.
#include <cstdint>

#include "metablock/meta_json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto meta = qel::parse_metablock_json({data, size});
  if (meta && meta->format_version != 5) __builtin_trap();
  return 0;
}
