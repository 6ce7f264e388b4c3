// Blocks skipped by their kind are streamed past, whatever their length says,
// and their CRC is still checked.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "container/reader.hpp"
#include "frame_builder.hpp"
#include "test_support.hpp"

namespace qel {
namespace {

using test::Bytes;

constexpr std::uint32_t kBody = 64u << 20;  // bytes after the control byte
const MetaBlock kMeta = test::meta_of({{1, "wide", "double", 4}, {2, "text", "string", 4}});

// The peak resident size since the last reset_peak(), in KiB.
long peak_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}
void reset_peak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

// A frame head, then `zeros` zero bytes, then a tail, made up as they are read:
// the big block never exists in memory as a whole.
class ZerosStream final : public InputStream {
 public:
  ZerosStream(Bytes head, std::uint64_t zeros, Bytes tail)
      : head_(std::move(head)), zeros_(zeros), tail_(std::move(tail)) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (at_ < head_.size()) return copy(head_, at_, out);
    if (at_ < head_.size() + zeros_) {
      const auto n = static_cast<std::size_t>(
          std::min<std::uint64_t>(out.size(), head_.size() + zeros_ - at_));
      std::memset(out.data(), 0, n);
      at_ += n;
      return n;
    }
    return copy(tail_, at_ - head_.size() - zeros_, out);
  }

 private:
  std::size_t copy(const Bytes& part, std::uint64_t from, std::span<std::uint8_t> out) {
    const auto n =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), part.size() - from));
    if (n > 0) std::memcpy(out.data(), part.vec().data() + from, n);
    at_ += n;
    return n;
  }

  Bytes head_;
  std::uint64_t zeros_;
  Bytes tail_;
  std::uint64_t at_ = 0;
};

struct BigSkip {
  const char* name;
  std::uint16_t channel;
  std::uint8_t control;
  IntegrityProfile integrity;
  bool right_crc;
  std::optional<SkipReason> reason;  // none: the block is cut short
};

class LongSkippedBlock : public ::testing::TestWithParam<BigSkip> {};

TEST_P(LongSkippedBlock, IsStreamedAndCountedByItsCrcOrKind) {
  const BigSkip& c = GetParam();
  const bool crc = c.integrity != IntegrityProfile::none;
  const std::uint32_t length = 1 + kBody + (crc ? 4 : 0);
  Bytes head = Bytes().u16(c.channel).u32(length);
  std::uint32_t sum = crc32c_extend(crc32c(head), Bytes{c.control});
  const std::vector<std::uint8_t> piece(1 << 20);
  for (std::size_t done = 0; done < kBody; done += piece.size()) sum = crc32c_extend(sum, piece);
  head.u8(c.control);

  test::FileBuilder after(c.integrity);
  after.channels({{1, "wide", "double", 4}})
      .frame(1, test::kStartData, Bytes().i64(0).f64(1.0).f64(2.5));
  Bytes tail;
  if (crc) tail.u32(c.right_crc ? sum : ~sum);
  if (c.reason) tail.raw(after.blocks());
  const std::uint64_t zeros = c.reason ? kBody : kBody / 2;

  reset_peak();
  const long before = peak_kib();
  BlockReader reader(BufferedInput(std::make_unique<ZerosStream>(head, zeros, tail)), kMeta);
  reader.set_integrity(c.integrity);
  std::vector<BlockKind> kinds;
  for (;;) {
    auto item = reader.next();
    ASSERT_TRUE(item) << item.error().message();
    if (!*item) break;
    kinds.push_back((*item)->kind);
  }
  EXPECT_LT(peak_kib() - before, 16 * 1024) << "the skipped block was buffered";

  const ReaderStats stats = reader.stats();
  if (!c.reason) {
    EXPECT_TRUE(kinds.empty());
    EXPECT_EQ(stats.blocks_truncated, 1u);
    return;
  }
  ASSERT_EQ(kinds.size(), 2u);
  const auto& skipped = std::get<Skipped>(kinds[0]);
  EXPECT_EQ(skipped.reason, *c.reason);
  EXPECT_EQ(skipped.length, length);
  EXPECT_EQ(skipped.kind, *c.reason == SkipReason::CrcFailed
                              ? std::nullopt
                              : std::optional<std::uint8_t>(c.control & 0x7F));
  EXPECT_TRUE(std::holds_alternative<StartData>(kinds[1]));
  EXPECT_EQ(stats.blocks_truncated, 0u);
  EXPECT_EQ(stats.blocks_read, 1u);
  EXPECT_EQ(stats.data_section_size_bytes, 6u + length + after.blocks().size());
  EXPECT_EQ(stats.channels.at(c.channel).bytes,
            length + (c.channel == 1 ? after.blocks().size() - 6 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, LongSkippedBlock,
    ::testing::Values(
        BigSkip{"Reserved", 1, 0x00, IntegrityProfile::none, false, SkipReason::ReservedType},
        BigSkip{"StatusEventRightCrc", 1, 0x83, IntegrityProfile::crc32c, true,
                SkipReason::StatusEvent},
        BigSkip{"DeprecatedWrongCrc", 1, 0x01, IntegrityProfile::crc32c, false,
                SkipReason::CrcFailed},
        BigSkip{"MultiMessageOnString", 2, 0x84, IntegrityProfile::crc32c, true,
                SkipReason::ReservedType},
        BigSkip{"CutShort", 1, 0x00, IntegrityProfile::none, false, std::nullopt},
        BigSkip{"CutShortWithCrc", 2, 0x09, IntegrityProfile::crc32c, true, std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace qel
