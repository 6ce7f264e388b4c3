#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "qel/compression.hpp"
#include "qel/integrity.hpp"

namespace qel {

// Read counters of one channel index.
struct ChannelStats {
  std::string name;
  // Smallest and largest timestamp seen, nanoseconds.
  std::optional<std::pair<std::int64_t, std::int64_t>> timestamp_range;
  std::uint64_t blocks_read = 0;
  std::uint64_t blocks_skipped = 0;
  std::uint64_t samples = 0;
  // Sum of the length fields of its blocks, frame CRCs included.
  std::uint64_t bytes = 0;
  std::uint32_t segments = 0;

  // Widens the range so that it holds `timestamp`; inline, as it runs for
  // every block read.
  void widen(std::int64_t timestamp) noexcept {
    if (!timestamp_range) {
      timestamp_range.emplace(timestamp, timestamp);
      return;
    }
    if (timestamp < timestamp_range->first) timestamp_range->first = timestamp;
    if (timestamp > timestamp_range->second) timestamp_range->second = timestamp;
  }
};

struct ReaderStats {
  std::optional<std::uint64_t> file_size_bytes;
  std::chrono::nanoseconds elapsed{0};
  std::unordered_map<std::uint16_t, ChannelStats> channels;
  std::uint64_t header_size_bytes = 0;
  std::uint64_t metablock_size_bytes = 0;
  std::uint64_t data_section_size_bytes = 0;
  std::uint64_t channels_total = 0;
  std::uint64_t channels_with_data = 0;
  std::uint64_t channels_unsupported = 0;
  std::uint64_t blocks_total = 0;
  std::uint64_t blocks_read = 0;
  std::uint64_t blocks_skipped_unsupported = 0;
  std::uint64_t blocks_skipped_deprecated_type = 0;
  std::uint64_t blocks_skipped_status_event = 0;
  std::uint64_t blocks_skipped_reserved_type = 0;
  std::uint64_t blocks_skipped_zero_length = 0;
  std::uint64_t blocks_truncated = 0;
  std::uint64_t blocks_crc_failed = 0;
  std::uint64_t blocks_signature_skipped = 0;
  bool trailer_seen = false;
  bool compressed = false;
  CompressionFormat compression_format = CompressionFormat::none;
  IntegrityProfile integrity = IntegrityProfile::none;

  // Fills the derived totals `blocks_total` and `channels_with_data`.
  void compute_totals() noexcept;
};

// "1023 B", "1.50 KB", "1.00 MB", "2.00 GB".
std::string fmt_bytes(std::uint64_t n);

// "400 ms" below one second, else "1.23 s".
std::string fmt_elapsed(std::chrono::nanoseconds elapsed);

// The multi-line rendering shown as the text of the statistics.
std::string to_string(const ReaderStats& stats);

}  // namespace qel
