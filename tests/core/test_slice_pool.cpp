#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "memory/mapping_cache.hpp"
#include "memory/slice_pool.hpp"

namespace qel::array_memory {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = kKiB * kKiB;

// Whether every page of [data, data + bytes) is resident.
bool resident(const void* data, std::size_t bytes) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> pages((bytes + page - 1) / page);
  EXPECT_EQ(::mincore(const_cast<void*>(data), bytes, pages.data()), 0);
  for (const unsigned char p : pages) {
    if ((p & 1) == 0) return false;
  }
  return true;
}

// A pool and a cache of their own, on a clock the test moves.
class SlicePoolTest : public ::testing::Test {
 protected:
  Clock::time_point now_{};
  MappingCache cache_{64 * kMiB, [this] { return now_; }};
  SlicePool pool_{cache_, 16 * kMiB, [this] { return now_; }};

  Block filled(std::size_t bytes, std::uint8_t value) {
    const Block block = pool_.allocate(bytes);
    std::memset(block.data, value, bytes);
    return block;
  }
  // Filled and done growing, so that the next array follows it.
  Block settled(std::size_t bytes, std::uint8_t value) {
    return pool_.shrink(filled(bytes, value), bytes);
  }
  static std::uint8_t* end_of(const Block& block) {
    return static_cast<std::uint8_t*>(block.data) + block.bytes;
  }
};

// Arrays filled one after another lie side by side; only the last grows
// where it is, and one that stops growing is followed at once.
TEST_F(SlicePoolTest, CarvesSideBySideAndGrowsTheLastInPlace) {
  const Block first = filled(100 * kKiB, 1);
  EXPECT_EQ(first.bytes % SlicePool::kPage, 0u);
  std::optional<Block> grown = pool_.grow_in_place(first, 300 * kKiB);
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->data, first.data);
  EXPECT_GE(grown->bytes, 300 * kKiB);
  const Block shrunk = pool_.shrink(*grown, 200 * kKiB);
  const Block second = filled(64 * kKiB, 2);
  EXPECT_EQ(second.data, end_of(shrunk)) << "the lane of a shrunk array is taken first";
  EXPECT_FALSE(pool_.grow_in_place(shrunk, 400 * kKiB)) << "no longer the last";
  pool_.release(second);
  pool_.release(shrunk);
}

// Two arrays filled in step (timestamps and values) each end a lane of
// their own, so both keep growing in place.
TEST_F(SlicePoolTest, ArraysFilledInStepGrowInPlaceInTwoLanes) {
  Block times = filled(64 * kKiB, 1);
  Block values = filled(64 * kKiB, 2);
  for (std::size_t bytes = 128 * kKiB; bytes <= 4 * kMiB; bytes *= 2) {
    std::optional<Block> t = pool_.grow_in_place(times, bytes);
    std::optional<Block> v = pool_.grow_in_place(values, bytes);
    ASSERT_TRUE(t && v) << bytes;
    EXPECT_EQ(t->data, times.data);
    EXPECT_EQ(v->data, values.data);
    times = *t;
    values = *v;
  }
  pool_.release(times);
  pool_.release(values);
}

// A freed array's pages stay a while for reuse and are given back when due;
// a chunk whose arrays are all freed goes back to the cache at once, and the
// cache gives it back when due.
TEST_F(SlicePoolTest, FreedMemoryIsGivenBackWhenDue) {
  const Block kept = settled(1 * kMiB, 1);
  const Block freed = settled(2 * kMiB, 2);
  const Block last = filled(1 * kMiB, 3);
  ASSERT_EQ(last.data, end_of(freed));
  pool_.release(freed);
  ASSERT_TRUE(resident(freed.data, freed.bytes));
  now_ += kKeepFor - std::chrono::milliseconds(1);
  const std::optional<Clock::time_point> due = pool_.release_expired();
  ASSERT_TRUE(due);
  EXPECT_EQ(*due, Clock::time_point{} + kKeepFor);
  EXPECT_TRUE(resident(freed.data, freed.bytes));
  now_ = *due;
  EXPECT_FALSE(pool_.release_expired());
  EXPECT_FALSE(resident(freed.data, freed.bytes));
  EXPECT_TRUE(resident(kept.data, kept.bytes));
  EXPECT_TRUE(resident(last.data, last.bytes));

  pool_.release(kept);
  pool_.release(last);
  EXPECT_EQ(pool_.chunk_bytes(), 0u);
  EXPECT_GT(cache_.kept_bytes(), 0u);
  ASSERT_TRUE(cache_.release_expired());
  now_ += kKeepFor;
  EXPECT_FALSE(cache_.release_expired());
  EXPECT_EQ(cache_.kept_bytes(), 0u);
}

// The next chunk is the retired one, pages and all.
TEST_F(SlicePoolTest, RetiredChunksAreCarvedAgain) {
  const Block first = filled(1 * kMiB, 1);
  pool_.release(first);
  const Block again = pool_.allocate(512 * kKiB);
  EXPECT_EQ(again.data, first.data);
  EXPECT_EQ(cache_.kept_bytes(), 0u);
  pool_.release(again);
}

// An array that outgrows its chunk takes its pages along; arrays that were
// moved by copying give theirs back at once.
TEST_F(SlicePoolTest, MovesOutByPagesAndDiscardsCopiedArrays) {
  const Block large = filled(8 * kMiB, 7);
  EXPECT_FALSE(pool_.grow_in_place(large, 32 * kMiB));
  std::optional<Block> moved = pool_.move_out(large, 32 * kMiB);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->chunk, nullptr);
  EXPECT_GE(moved->bytes, 32 * kMiB);
  const auto* bytes = static_cast<const std::uint8_t*>(moved->data);
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[8 * kMiB - 1], 7);
  ::munmap(moved->data, moved->bytes);

  const Block before = settled(1 * kMiB, 1);
  const Block after = filled(64 * kKiB, 2);
  EXPECT_FALSE(pool_.move_out(before, 32 * kMiB)) << "only an array that ends its chunk";
  pool_.discard(before);
  EXPECT_FALSE(resident(before.data, before.bytes));
  pool_.release(after);
}

}  // namespace
}  // namespace qel::array_memory
