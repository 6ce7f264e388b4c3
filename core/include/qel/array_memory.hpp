#pragma once

#include <cstddef>

namespace qel::array_memory {

// The memory under a growable array. Small blocks come from malloc; large
// ones are mapped on their own, so that growing them moves pages instead of
// copying bytes and their first touch can use huge pages.
struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;
  bool mapped = false;
};

// A block of at least `bytes` holding the first `used` bytes of `block`,
// which it replaces (`block` may be empty). Throws std::bad_alloc.
Block grow(Block block, std::size_t used, std::size_t bytes);

void release(Block block) noexcept;

}  // namespace qel::array_memory
