#include "index/strict.hpp"

#include <string>

namespace qel {
namespace {

std::string blocks(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " block" : " blocks");
}

}  // namespace

Status check_strict(const ReaderStats& stats) {
  if (stats.blocks_truncated != 0) {
    return std::unexpected(
        Error::io_message("the block area ends inside a block (truncated file)"));
  }
  if (stats.blocks_crc_failed != 0) {
    return std::unexpected(Error::invalid_block_payload(blocks(stats.blocks_crc_failed) +
                                                        " failed the frame CRC check"));
  }
  const std::uint64_t skipped =
      stats.blocks_skipped_unsupported + stats.blocks_skipped_deprecated_type +
      stats.blocks_skipped_status_event + stats.blocks_skipped_reserved_type +
      stats.blocks_skipped_zero_length;
  if (skipped != 0) {
    return std::unexpected(Error::invalid_block_payload(blocks(skipped) + " skipped"));
  }
  return {};
}

}  // namespace qel
