#include "qel/array_memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>

#include "memory/mapping_cache.hpp"
#define QEL_MAPPED_ARRAYS 1
#endif

namespace qel::array_memory {
namespace {

#if defined(QEL_MAPPED_ARRAYS)
// Blocks from here on are mapped, in whole huge pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMapFrom = 2 * kHugePage;

std::size_t round_up(std::size_t bytes) {
  if (bytes > SIZE_MAX - kHugePage) throw std::bad_alloc();
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

// Advised as a whole: advising part of a mapping would split it, and a split
// mapping can no longer be moved by mremap.
void advise_huge([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#if defined(MADV_HUGEPAGE)
  ::madvise(data, size, MADV_HUGEPAGE);
#endif
}

Block map(std::size_t size, MappingCache::Fit fit) {
  if (auto kept = MappingCache::shared().take(size, fit)) return *kept;
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  advise_huge(data, size);
  return {data, size, true};
}

Block remap(Block block, std::size_t size) {
  void* data = ::mremap(block.data, block.bytes, size, MREMAP_MAYMOVE);
  if (data == MAP_FAILED) throw std::bad_alloc();
  advise_huge(data, size);
  return {data, size, true};
}

// An array that is still filling takes the largest kept mapping: growing
// into pages already there is cheaper than growing by new ones, and what it
// does not use goes back when it is shrunk. An empty one is being sized for
// what it will hold.
Block map_grown(Block block, std::size_t used, std::size_t bytes) {
  const std::size_t size = round_up(bytes);
  if (block.mapped) return remap(block, size);
  const Block mapped = used == 0 ? shrink(map(size, MappingCache::Fit::smallest), bytes)
                                 : map(size, MappingCache::Fit::largest);
  if (used > 0) std::memcpy(mapped.data, block.data, used);
  std::free(block.data);
  return mapped;
}
#endif

}  // namespace

Block grow(Block block, std::size_t used, std::size_t bytes) {
#if defined(QEL_MAPPED_ARRAYS)
  if (block.mapped || bytes >= kMapFrom) return map_grown(block, used, bytes);
#endif
  void* data = std::realloc(block.data, bytes == 0 ? 1 : bytes);
  if (data == nullptr) throw std::bad_alloc();
  return {data, bytes, false};
}

Block shrink(Block block, std::size_t used) noexcept {
#if defined(QEL_MAPPED_ARRAYS)
  const std::size_t keep = used < kHugePage ? kHugePage : round_up(used);
  if (!block.mapped || block.bytes <= keep) return block;
  // The tail is its own mapping from now on; the kernel splits the area.
  MappingCache::shared().keep(
      {static_cast<std::uint8_t*>(block.data) + keep, block.bytes - keep, true});
  return {block.data, keep, true};
#else
  static_cast<void>(used);
  return block;
#endif
}

void release(Block block) noexcept {
#if defined(QEL_MAPPED_ARRAYS)
  if (block.mapped) {
    MappingCache::shared().keep(block);
    return;
  }
#endif
  std::free(block.data);
}

}  // namespace qel::array_memory
