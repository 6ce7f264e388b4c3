#pragma once

#include <cstddef>

namespace qel::array_memory {

// The memory under a growable array. Small blocks come from malloc; larger
// ones are carved side by side out of large mappings in huge pages, where
// the last one grows in place (slice_pool.hpp), and one that outgrows its
// mapping becomes a mapping of its own, which grows by moving pages instead
// of copying bytes. Freed memory is kept a while for reuse
// (mapping_cache.hpp).
struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;
  bool mapped = false;
  // The mapping a carved block lies in; null for a mapping of its own.
  void* chunk = nullptr;
};

// A block of at least `bytes` holding the first `used` bytes of `block`,
// which it replaces; of at least `least` (at most `bytes`) only, when the
// block grows where it lies: growing it there again costs nothing, and
// capacity carved ahead would be faulted in with its neighbours' pages. An
// empty `block` (used 0) gets about `bytes`, for an array sized ahead for
// what it will hold. Throws std::bad_alloc.
Block grow(Block block, std::size_t used, std::size_t bytes, std::size_t least);

// `block` without the capacity beyond `used` that is worth giving back.
Block shrink(Block block, std::size_t used) noexcept;

void release(Block block) noexcept;

// Copies `bytes` from `from` into an array being filled (the two do not
// overlap). A large copy goes by streaming stores, which write the
// destination without first fetching it into the cache: the copy moves a
// third less over the memory bus, and the cache keeps what was in it.
void fill(void* to, const void* from, std::size_t bytes) noexcept;

}  // namespace qel::array_memory
