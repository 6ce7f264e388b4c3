#include "qel/array_memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>

#include "memory/mapping_cache.hpp"
#include "memory/slice_pool.hpp"
#define QEL_MAPPED_ARRAYS 1
#endif

namespace qel::array_memory {
namespace {

#if defined(QEL_MAPPED_ARRAYS)
// Blocks from here on are carved from the pool: below it, malloc's own
// reuse of small blocks serves as well. Low enough that an array filled from
// a block of typical size (64 KiB) starts where it can grow in place, rather
// than in malloc's memory, from which the next block would copy it out.
constexpr std::size_t kCarveFrom = std::size_t{16} << 10;
// A carved block that cannot grow where it lies moves out into a mapping of
// its own from here on, rather than into a larger carved one.
constexpr std::size_t kMapFrom = std::size_t{4} << 20;

std::size_t round_up(std::size_t bytes) {
  constexpr std::size_t huge = SlicePool::kHugePage;
  if (bytes > SIZE_MAX - huge) throw std::bad_alloc();
  return (bytes + huge - 1) & ~(huge - 1);
}

// Advised as a whole: advising part of a mapping would split it, and a split
// mapping can no longer be moved by mremap.
void advise_huge([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) {
#if defined(MADV_HUGEPAGE)
  ::madvise(data, size, MADV_HUGEPAGE);
#endif
}

Block remap(Block block, std::size_t size) {
  void* data = ::mremap(block.data, block.bytes, size, MREMAP_MAYMOVE);
  if (data == MAP_FAILED) throw std::bad_alloc();
  advise_huge(data, size);
  return {data, size, true};
}

Block copy_into(Block to, const void* from, std::size_t used) {
  if (used > 0) std::memcpy(to.data, from, used);
  return to;
}

// A carved block grows in place when it ends its chunk; one that cannot is
// moved: its pages, when it is large and ends its chunk, else its bytes.
Block grow_carved(Block block, std::size_t used, std::size_t bytes, std::size_t least) {
  SlicePool& pool = SlicePool::shared();
  if (auto grown = pool.grow_in_place(block, least)) return *grown;
  if (bytes >= kMapFrom) {
    if (auto moved = pool.move_out(block, bytes)) return *moved;
  }
  const Block moved = copy_into(pool.allocate(bytes), block.data, used);
  pool.discard(block);
  return moved;
}
#endif

}  // namespace

Block grow(Block block, std::size_t used, std::size_t bytes, [[maybe_unused]] std::size_t least) {
#if defined(QEL_MAPPED_ARRAYS)
  if (block.chunk != nullptr) return grow_carved(block, used, bytes, least);
  if (block.mapped) return remap(block, round_up(bytes));
  if (bytes >= kCarveFrom) {
    // Carved at the top of its chunk, where it grows in place.
    const Block carved = copy_into(SlicePool::shared().allocate(least), block.data, used);
    std::free(block.data);
    return carved;
  }
#endif
  void* data = std::realloc(block.data, bytes == 0 ? 1 : bytes);
  if (data == nullptr) throw std::bad_alloc();
  return {data, bytes, false};
}

Block shrink(Block block, std::size_t used) noexcept {
#if defined(QEL_MAPPED_ARRAYS)
  if (block.chunk != nullptr) return SlicePool::shared().shrink(block, used);
  const std::size_t keep = used < SlicePool::kHugePage ? SlicePool::kHugePage : round_up(used);
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
  if (block.chunk != nullptr) {
    SlicePool::shared().release(block);
    return;
  }
  if (block.mapped) {
    MappingCache::shared().keep(block);
    return;
  }
#endif
  std::free(block.data);
}

}  // namespace qel::array_memory
