// The whole load from memory: compression detection, header, metablock,
// blocks. A successful load must also survive save and load unchanged.
#include <cstdint>
#include <memory>

#include "fingerprint.hpp"
#include "qel/manager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto loaded = qel::DataManager::load_from_stream(
      std::make_unique<qel::MemoryInputStream>(std::span(data, size)), size);
  if (loaded) qel::fuzz::check_save_round_trip(*loaded);
  return 0;
}
