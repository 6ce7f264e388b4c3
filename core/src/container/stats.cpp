#include "qel/stats.hpp"

#include <cstdio>
#include <string_view>

namespace qel {
namespace {

std::string two_decimals(double value, std::string_view unit) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", value);
  return std::string(text) + " " + std::string(unit);
}

void line(std::string& out, std::string_view label, std::string_view value) {
  out.append(label);
  out.append(value);
  out.push_back('\n');
}

void line(std::string& out, std::string_view label, std::uint64_t value) {
  line(out, label, std::to_string(value));
}

}  // namespace

void ReaderStats::compute_totals() noexcept {
  blocks_total = blocks_read + blocks_skipped_unsupported + blocks_skipped_deprecated_type +
                 blocks_skipped_status_event + blocks_skipped_reserved_type +
                 blocks_skipped_zero_length + blocks_crc_failed + blocks_signature_skipped;
  channels_with_data = 0;
  for (const auto& [index, channel] : channels) {
    if (channel.blocks_read + channel.blocks_skipped != 0) ++channels_with_data;
  }
}

std::string fmt_bytes(std::uint64_t n) {
  constexpr std::uint64_t kKiB = 1024;
  constexpr std::uint64_t kMiB = kKiB * 1024;
  constexpr std::uint64_t kGiB = kMiB * 1024;
  const auto value = static_cast<double>(n);
  if (n < kKiB) return std::to_string(n) + " B";
  if (n < kMiB) return two_decimals(value / static_cast<double>(kKiB), "KB");
  if (n < kGiB) return two_decimals(value / static_cast<double>(kMiB), "MB");
  return two_decimals(value / static_cast<double>(kGiB), "GB");
}

std::string fmt_elapsed(std::chrono::nanoseconds elapsed) {
  const auto seconds = std::chrono::duration<double>(elapsed).count();
  if (seconds < 1.0) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000.0);
    return text;
  }
  return two_decimals(seconds, "s");
}

std::string to_string(const ReaderStats& stats) {
  std::string out;
  line(out, "File size:       ",
       stats.file_size_bytes ? fmt_bytes(*stats.file_size_bytes) : "(streaming)");
  line(out, "Header:          ", fmt_bytes(stats.header_size_bytes));
  line(out, "Metablock:       ", fmt_bytes(stats.metablock_size_bytes));
  line(out, "Data section:    ", fmt_bytes(stats.data_section_size_bytes));
  line(out, "Read in:         ", fmt_elapsed(stats.elapsed));
  out.push_back('\n');
  line(out, "Channels total:        ", stats.channels_total);
  line(out, "With data:             ", stats.channels_with_data);
  line(out, "Unsupported:           ", stats.channels_unsupported);
  out.push_back('\n');
  line(out, "Blocks total:          ", stats.blocks_total);
  line(out, "Read:                  ", stats.blocks_read);
  line(out, "Skipped (unsupp.):     ", stats.blocks_skipped_unsupported);
  line(out, "Skipped (deprec.):     ", stats.blocks_skipped_deprecated_type);
  line(out, "Skipped (status ev.):  ", stats.blocks_skipped_status_event);
  line(out, "Skipped (reserved):    ", stats.blocks_skipped_reserved_type);
  line(out, "Skipped (zero-len):    ", stats.blocks_skipped_zero_length);
  line(out, "Truncated:             ", stats.blocks_truncated);
  if (stats.trailer_seen) line(out, "Trailer block:         present", "");
  if (stats.compressed) {
    line(out, "Compressed:            yes (",
         std::string(to_string(stats.compression_format)) + ")");
  }
  if (stats.integrity != IntegrityProfile::none) {
    line(out, "Integrity:             ", to_string(stats.integrity));
    line(out, "Blocks CRC-failed:     ", stats.blocks_crc_failed);
    if (stats.blocks_signature_skipped != 0) {
      line(out, "Signature blocks:      ",
           std::to_string(stats.blocks_signature_skipped) + " (skipped, unverified)");
    }
  }
  return out;
}

}  // namespace qel
