#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "qel/stats.hpp"

namespace qel {
namespace {

using std::chrono::milliseconds;

TEST(Stats, UnitsByRange) {
  for (const auto& [n, text] :
       std::vector<std::pair<std::uint64_t, std::string>>{{1023, "1023 B"},
                                                          {1024, "1.00 KB"},
                                                          {1048575, "1024.00 KB"},
                                                          {1048576, "1.00 MB"},
                                                          {1073741824, "1.00 GB"},
                                                          {5'000'000'000'000, "4656.61 GB"}}) {
    EXPECT_EQ(fmt_bytes(n), text);
  }
  EXPECT_EQ(fmt_elapsed(std::chrono::microseconds(999'400)), "999 ms");
  EXPECT_EQ(fmt_elapsed(milliseconds(1000)), "1.00 s");
  EXPECT_EQ(fmt_elapsed(milliseconds(3250)), "3.25 s");
}

// Totals sum every block counter but truncation; then every optional line shows.
TEST(Stats, TotalsAndRendering) {
  ReaderStats stats;
  stats.file_size_bytes = 3 * 1048576;
  stats.metablock_size_bytes = 1536;
  stats.data_section_size_bytes = 1000;
  stats.elapsed = milliseconds(1234);
  stats.channels_total = 3;
  stats.channels_unsupported = 1;
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
  stats.trailer_seen = true;
  stats.compressed = true;
  stats.compression_format = CompressionFormat::zlib;
  stats.integrity = IntegrityProfile::ed25519;
  stats.compute_totals();
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
            "Blocks total:          36\n"
            "Read:                  1\n"
            "Skipped (unsupp.):     2\n"
            "Skipped (deprec.):     3\n"
            "Skipped (status ev.):  4\n"
            "Skipped (reserved):    5\n"
            "Skipped (zero-len):    6\n"
            "Truncated:             1\n"
            "Trailer block:         present\n"
            "Compressed:            yes (zlib)\n"
            "Integrity:             ed25519\n"
            "Blocks CRC-failed:     7\n"
            "Signature blocks:      8 (skipped, unverified)\n");
}

}  // namespace
}  // namespace qel
