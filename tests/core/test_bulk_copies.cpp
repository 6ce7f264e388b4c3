// The bulk copies that write arrays by streaming stores: every byte lands
// where a plain copy would put it, whatever the alignment of either side,
// and nothing beyond the end is touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numeric>
#include <tuple>
#include <vector>

#include "qel/array_memory.hpp"
#include "samples/split_records.hpp"

namespace qel {
namespace {

constexpr std::uint8_t kGuard = 0xA5;

std::vector<std::uint8_t> counting(std::size_t bytes) {
  std::vector<std::uint8_t> out(bytes);
  std::iota(out.begin(), out.end(), std::uint8_t{1});
  return out;
}

// Sizes around the streaming threshold (16 KiB) and beyond, at offsets
// into a line of either side.
class Fill : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(Fill, CopiesExactlyTheBytesAskedFor) {
  const auto [bytes, to_offset, from_offset] = GetParam();
  const auto from = counting(bytes + from_offset + 1);
  alignas(64) static std::uint8_t to[200'000];
  std::memset(to, kGuard, sizeof to);
  array_memory::fill(to + to_offset, from.data() + from_offset, bytes);
  EXPECT_EQ(std::memcmp(to + to_offset, from.data() + from_offset, bytes), 0);
  for (std::size_t i = 0; i < to_offset; ++i) ASSERT_EQ(to[i], kGuard) << i;
  for (std::size_t i = to_offset + bytes; i < to_offset + bytes + 128; ++i) {
    ASSERT_EQ(to[i], kGuard) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(SizesAndOffsets, Fill,
                         ::testing::Combine(::testing::Values(0, 1, 16383, 16384, 16385, 100'003),
                                            ::testing::Values(0, 1, 8, 63),
                                            ::testing::Values(0, 5)));

// Records split into columns as one record at a time would, for counts on
// either side of the streaming threshold, and columns (offsets in elements
// from line starts) that start a line together at once, after a few
// records, or never.
template <std::size_t kValueBytes>
void expect_split(std::size_t count, std::size_t times_offset, std::size_t values_offset) {
  constexpr std::size_t kMost = 5016;
  ASSERT_LE(count + 16, kMost);
  const auto in = counting(count * (8 + kValueBytes));
  alignas(64) static std::int64_t times[kMost];
  alignas(64) static std::uint8_t values[kMost * kValueBytes];
  std::fill(std::begin(times), std::end(times), -1);
  std::fill(std::begin(values), std::end(values), kGuard);
  values_offset *= kValueBytes;
  split_records<kValueBytes>(in.data(), count, times + times_offset, values + values_offset);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* record = in.data() + i * (8 + kValueBytes);
    std::int64_t time;
    std::memcpy(&time, record, 8);
    ASSERT_EQ(times[times_offset + i], time) << i;
    ASSERT_EQ(std::memcmp(values + values_offset + i * kValueBytes, record + 8, kValueBytes), 0)
        << i;
  }
  EXPECT_EQ(times[times_offset + count], -1);
  EXPECT_EQ(values[values_offset + count * kValueBytes], kGuard);
}

class Split : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(Split, GivesTheColumnsOfTheRecords) {
  const auto [count, times_offset, values_offset] = GetParam();
  expect_split<4>(count, times_offset, values_offset);
  expect_split<8>(count, times_offset, values_offset);
}

INSTANTIATE_TEST_SUITE_P(CountsAndOffsets, Split,
                         ::testing::Combine(::testing::Values(0, 15, 17, 1000, 5000),
                                            ::testing::Values(0, 3), ::testing::Values(0, 1, 3)));

}  // namespace
}  // namespace qel
