#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "qel/cow_array.hpp"
#include "qel/mapping_cache.hpp"

namespace qel::array_memory {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

Block mapped(std::size_t bytes) {
  void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(data, MAP_FAILED);
  std::memset(data, 0x5A, bytes);
  return {data, bytes, true};
}

TEST(MappingCache, TakesTheFitItIsAskedForAndEmptiesOnAMiss) {
  MappingCache cache(64 * kMiB);
  const std::vector<Block> blocks = {mapped(8 * kMiB), mapped(4 * kMiB), mapped(16 * kMiB)};
  for (const Block& block : blocks) cache.keep(block);
  EXPECT_EQ(cache.kept_bytes(), 28 * kMiB);

  EXPECT_EQ(cache.take(6 * kMiB, MappingCache::Fit::smallest)->data, blocks[0].data);
  EXPECT_EQ(cache.take(2 * kMiB, MappingCache::Fit::largest)->data, blocks[2].data);
  EXPECT_EQ(cache.kept_bytes(), 4 * kMiB);
  EXPECT_FALSE(cache.take(5 * kMiB, MappingCache::Fit::largest));
  EXPECT_EQ(cache.kept_bytes(), 0u);
  ::munmap(blocks[0].data, blocks[0].bytes);
  ::munmap(blocks[2].data, blocks[2].bytes);
}

TEST(MappingCache, StaysWithinItsLimitByDroppingTheOldest) {
  MappingCache cache(10 * kMiB);
  const Block oldest = mapped(4 * kMiB);
  const Block newer = mapped(4 * kMiB);
  cache.keep(oldest);
  cache.keep(newer);
  cache.keep(mapped(4 * kMiB));
  EXPECT_EQ(cache.kept_bytes(), 8 * kMiB);
  cache.keep(mapped(12 * kMiB));  // larger than the whole cache: unmapped at once
  EXPECT_EQ(cache.kept_bytes(), 8 * kMiB);
  const auto first = cache.take(4 * kMiB, MappingCache::Fit::smallest);
  ASSERT_TRUE(first);
  EXPECT_NE(first->data, oldest.data);
  ::munmap(first->data, first->bytes);
}

// A freed array's pages go to the next large array, and whatever a grown
// array does not use goes back when it is shrunk.
TEST(ArrayMemory, FreedArraysAreReusedAndShrinkGivesBackTheTail) {
  const std::size_t count = 32 * kMiB / sizeof(double);
  const void* first = nullptr;
  {
    CowArray<double> array;
    array.reserve(count);
    first = array.data();
  }
  CowArray<double> small;
  for (std::size_t i = 0; i < kMiB; ++i) small.push_back(static_cast<double>(i));
  EXPECT_EQ(small.data(), first);  // grew into the kept mapping
  small.shrink_to_fit();
  CowArray<double> tail;
  tail.reserve(count / 2);
  EXPECT_GT(tail.data(), small.data());
  EXPECT_LT(static_cast<const void*>(tail.data()), static_cast<const void*>(small.data() + count));
  for (std::size_t i = 0; i < kMiB; ++i) ASSERT_EQ(small[i], static_cast<double>(i));
  small.push_back(0.5);  // grows again after shrinking
  EXPECT_EQ(small.back(), 0.5);
  EXPECT_EQ(small[kMiB - 1], static_cast<double>(kMiB - 1));
}

}  // namespace
}  // namespace qel::array_memory
