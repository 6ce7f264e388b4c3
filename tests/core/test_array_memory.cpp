#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "memory/mapping_cache.hpp"
#include "qel/cow_array.hpp"

namespace qel::array_memory {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

Block mapped(std::size_t bytes) {
  void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  EXPECT_NE(data, MAP_FAILED);
  std::memset(data, 0x5A, bytes);
  return {data, bytes, true};
}

// Takes the fit it is asked for, empties on a miss, and keeps within its
// limit by dropping the oldest.
TEST(MappingCache, KeepsAndHandsOutMappings) {
  MappingCache cache(24 * kMiB);
  const std::vector<Block> blocks = {mapped(8 * kMiB), mapped(4 * kMiB), mapped(16 * kMiB)};
  for (const Block& block : blocks) cache.keep(block);
  EXPECT_EQ(cache.kept_bytes(), 20 * kMiB) << "the oldest was dropped";
  cache.keep(mapped(32 * kMiB));  // larger than the whole cache: unmapped at once
  EXPECT_EQ(cache.kept_bytes(), 20 * kMiB);
  EXPECT_EQ(cache.take(2 * kMiB, MappingCache::Fit::smallest)->data, blocks[1].data);
  EXPECT_EQ(cache.take(2 * kMiB, MappingCache::Fit::largest)->data, blocks[2].data);
  cache.keep(blocks[1]);
  EXPECT_FALSE(cache.take(5 * kMiB, MappingCache::Fit::largest));
  EXPECT_EQ(cache.kept_bytes(), 0u);
  ::munmap(blocks[2].data, blocks[2].bytes);
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

// Enough elements to cross from heap blocks into mapped ones several times.
constexpr std::size_t kMany = std::size_t{3} << 20;

void fill(CowArray<std::uint32_t>& array, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) array.push_back(static_cast<std::uint32_t>(i * 7));
}

bool holds_ramp(const CowArray<std::uint32_t>& array, std::size_t count) {
  if (array.size() != count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (array[i] != static_cast<std::uint32_t>(i * 7)) return false;
  }
  return true;
}

TEST(CowArray, CopiesShareUntilOneChanges) {
  CowArray<std::uint32_t> original;
  fill(original, 0, kMany);
  CowArray<std::uint32_t> copy = original;
  EXPECT_EQ(copy.data(), original.data());
  fill(copy, kMany, kMany + 10);
  EXPECT_NE(copy.data(), original.data());
  EXPECT_TRUE(holds_ramp(original, kMany));
  EXPECT_TRUE(holds_ramp(copy, kMany + 10));
}

}  // namespace
}  // namespace qel::array_memory
