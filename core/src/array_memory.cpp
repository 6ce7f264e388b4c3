#include "qel/array_memory.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
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

// One mapping, advised as a whole: advising part of it would split it, and
// a split mapping can no longer be moved by mremap.
Block map_grown(Block block, std::size_t used, std::size_t bytes) {
  const std::size_t size = round_up(bytes);
  void* data = block.mapped ? ::mremap(block.data, block.bytes, size, MREMAP_MAYMOVE)
                            : ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  ::madvise(data, size, MADV_HUGEPAGE);
#endif
  if (!block.mapped) {
    if (used > 0) std::memcpy(data, block.data, used);
    std::free(block.data);
  }
  return {data, size, true};
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

void release(Block block) noexcept {
#if defined(QEL_MAPPED_ARRAYS)
  if (block.mapped) {
    ::munmap(block.data, block.bytes);
    return;
  }
#endif
  std::free(block.data);
}

}  // namespace qel::array_memory
