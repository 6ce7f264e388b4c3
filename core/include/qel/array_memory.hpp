#pragma once

#include <cstddef>

namespace qel::array_memory {

// The memory under a growable array. Small blocks come from malloc; large
// ones are mapped on their own, so that growing them moves pages instead of
// copying bytes and their first touch can use huge pages. Freed mappings are
// kept a while for reuse (mapping_cache.hpp).
struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;
  bool mapped = false;
};

// A block of at least `bytes` holding the first `used` bytes of `block`,
// which it replaces. An empty `block` (used 0) gets about `bytes`, for an
// array sized ahead for what it will hold. Throws std::bad_alloc.
Block grow(Block block, std::size_t used, std::size_t bytes);

// `block` without the capacity beyond `used` that is worth giving back.
Block shrink(Block block, std::size_t used) noexcept;

void release(Block block) noexcept;

}  // namespace qel::array_memory
