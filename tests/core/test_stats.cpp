#include <gtest/gtest.h>

#include <string>

#include "qel/stats.hpp"

namespace qel {
namespace {

struct BytesCase {
  std::uint64_t n;
  const char* text;
};

class FmtBytes : public ::testing::TestWithParam<BytesCase> {};

TEST_P(FmtBytes, PicksTheUnitByRange) {
  EXPECT_EQ(fmt_bytes(GetParam().n), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Ranges, FmtBytes,
                         ::testing::Values(BytesCase{0, "0 B"}, BytesCase{1023, "1023 B"},
                                           BytesCase{1024, "1.00 KB"}, BytesCase{1536, "1.50 KB"},
                                           BytesCase{1048575, "1024.00 KB"},
                                           BytesCase{1048576, "1.00 MB"},
                                           BytesCase{1073741823, "1024.00 MB"},
                                           BytesCase{1073741824, "1.00 GB"},
                                           BytesCase{5'000'000'000'000, "4656.61 GB"}));

struct ElapsedCase {
  std::chrono::nanoseconds elapsed;
  const char* text;
};

class FmtElapsed : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(FmtElapsed, MillisecondsBelowOneSecond) {
  EXPECT_EQ(fmt_elapsed(GetParam().elapsed), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Durations, FmtElapsed,
                         ::testing::Values(ElapsedCase{std::chrono::nanoseconds(0), "0 ms"},
                                           ElapsedCase{std::chrono::milliseconds(12), "12 ms"},
                                           ElapsedCase{std::chrono::milliseconds(400), "400 ms"},
                                           ElapsedCase{std::chrono::microseconds(999'400),
                                                       "999 ms"},
                                           ElapsedCase{std::chrono::milliseconds(1000), "1.00 s"},
                                           ElapsedCase{std::chrono::milliseconds(1234), "1.23 s"},
                                           ElapsedCase{std::chrono::milliseconds(3250), "3.25 s"}));

TEST(Totals, SumEveryBlockCounterButTruncation) {
  ReaderStats stats;
  stats.blocks_read = 1;
  stats.blocks_skipped_unsupported = 2;
  stats.blocks_skipped_deprecated_type = 3;
  stats.blocks_skipped_status_event = 4;
  stats.blocks_skipped_reserved_type = 5;
  stats.blocks_skipped_zero_length = 6;
  stats.blocks_crc_failed = 7;
  stats.blocks_signature_skipped = 8;
  stats.blocks_truncated = 1;
  stats.channels[1].blocks_read = 1;
  stats.channels[2].blocks_skipped = 1;
  stats.channels[3].name = "idle";
  stats.compute_totals();
  EXPECT_EQ(stats.blocks_total, 36u);
  EXPECT_EQ(stats.channels_with_data, 2u);
}

TEST(Rendering, EveryOptionalLine) {
  ReaderStats stats;
  stats.file_size_bytes = 3 * 1048576;
  stats.metablock_size_bytes = 1536;
  stats.data_section_size_bytes = 1000;
  stats.elapsed = std::chrono::milliseconds(1234);
  stats.channels_total = 3;
  stats.channels_with_data = 2;
  stats.channels_unsupported = 1;
  stats.blocks_total = 12;
  stats.blocks_read = 5;
  stats.blocks_skipped_unsupported = 1;
  stats.blocks_skipped_deprecated_type = 1;
  stats.blocks_skipped_status_event = 1;
  stats.blocks_skipped_reserved_type = 1;
  stats.blocks_skipped_zero_length = 1;
  stats.blocks_crc_failed = 1;
  stats.blocks_signature_skipped = 1;
  stats.blocks_truncated = 1;
  stats.trailer_seen = true;
  stats.compressed = true;
  stats.compression_format = CompressionFormat::zlib;
  stats.integrity = IntegrityProfile::ed25519;
  EXPECT_EQ(to_string(stats),
            "File size:       3.00 MB\n"
            "Header:          0 B\n"
            "Metablock:       1.50 KB\n"
            "Data section:    1000 B\n"
            "Read in:         1.23 s\n"
            "\n"
            "Channels total:        3\n"
            "With data:             2\n"
            "Unsupported:           1\n"
            "\n"
            "Blocks total:          12\n"
            "Read:                  5\n"
            "Skipped (unsupp.):     1\n"
            "Skipped (deprec.):     1\n"
            "Skipped (status ev.):  1\n"
            "Skipped (reserved):    1\n"
            "Skipped (zero-len):    1\n"
            "Truncated:             1\n"
            "Trailer block:         present\n"
            "Compressed:            yes (zlib)\n"
            "Integrity:             ed25519\n"
            "Blocks CRC-failed:     1\n"
            "Signature blocks:      1 (skipped, unverified)\n");
}

TEST(Rendering, Crc32cWithoutSignaturesAndUnknownSize) {
  ReaderStats stats;
  stats.integrity = IntegrityProfile::crc32c;
  const std::string text = to_string(stats);
  EXPECT_TRUE(text.starts_with("File size:       (streaming)\n"));
  EXPECT_TRUE(
      text.ends_with("Truncated:             0\n"
                     "Integrity:             crc32c\n"
                     "Blocks CRC-failed:     0\n"));
}

}  // namespace
}  // namespace qel
