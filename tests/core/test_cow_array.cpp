#include <gtest/gtest.h>

#include <cstdint>

#include "qel/cow_array.hpp"

namespace qel {
namespace {

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

TEST(CowArray, GrowthKeepsEveryValue) {
  CowArray<std::uint32_t> array;
  fill(array, 0, kMany);
  EXPECT_TRUE(holds_ramp(array, kMany));
  std::uint32_t* more = array.extend(kMany);
  for (std::size_t i = 0; i < kMany; ++i) more[i] = static_cast<std::uint32_t>((kMany + i) * 7);
  EXPECT_TRUE(holds_ramp(array, 2 * kMany));
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

TEST(CowArray, TruncateThenExtendReusesTheRoom) {
  CowArray<std::uint32_t> array;
  fill(array, 0, kMany);
  array.truncate(10);
  EXPECT_TRUE(holds_ramp(array, 10));
  fill(array, 10, kMany + 1);
  EXPECT_TRUE(holds_ramp(array, kMany + 1));
  array.truncate(kMany + 5);
  EXPECT_EQ(array.size(), kMany + 1);
}

TEST(CowArray, EmptyArrays) {
  CowArray<double> array;
  EXPECT_TRUE(array.empty());
  EXPECT_EQ(array.data(), nullptr);
  array.append({});
  EXPECT_TRUE(array.empty());
  array.reserve(0);
  EXPECT_TRUE(array.view().empty());
}

}  // namespace
}  // namespace qel
