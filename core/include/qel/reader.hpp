#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "qel/block.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/meta.hpp"
#include "qel/stats.hpp"
#include "qel/stream.hpp"

namespace qel {

// Walks the block area of one file: one item per block frame, signature block
// or trailer, counting everything in its statistics.
class BlockReader {
 public:
  // `stream` is positioned just after the metablock. The statistics' clock
  // starts here.
  BlockReader(std::unique_ptr<InputStream> stream, const MetaBlock& meta);

  // Frame CRCs and signature blocks are expected unless the profile is none.
  void set_integrity(IntegrityProfile profile) noexcept { integrity_ = profile; }

  // The next block, or nothing once the block area has ended. The payload
  // views of a decoded block stay valid until the next call.
  Result<std::optional<DecodedBlock>> next();

  // The statistics as of now, totals computed.
  ReaderStats stats() const;

 private:
  struct ChannelEntry {
    DataType data_type;
    std::uint8_t length_width;
  };
  using Item = Result<std::optional<DecodedBlock>>;

  Item end() noexcept;
  Item truncated() noexcept;
  Item fail(Error error) noexcept;
  Item read_trailer();
  Item read_signature();
  Item read_frame(std::uint16_t index, std::span<const std::uint8_t, 2> index_bytes,
                  const ChannelEntry& channel);
  Item skip_unsupported(std::uint16_t index, std::uint32_t length);
  Item decode(std::uint16_t index, const ChannelEntry& channel, std::uint32_t length,
              std::span<const std::uint8_t> payload);
  Item skip(std::uint16_t index, std::uint32_t length, SkipReason reason,
            std::optional<std::uint8_t> kind = std::nullopt);
  void count_decoded(std::uint16_t index, std::uint32_t length, const BlockKind& block);

  // Fills `out`; false when the stream ended first. Errors finish the reader.
  Result<bool> read_field(std::span<std::uint8_t> out);
  // Reads `length` payload bytes into the reused buffer, growing it only as
  // the bytes arrive; false when the stream ended first.
  Result<bool> read_payload(std::uint32_t length);

  std::unique_ptr<InputStream> stream_;
  std::unordered_map<std::uint16_t, ChannelEntry> channels_;
  ReaderStats stats_;
  IntegrityProfile integrity_ = IntegrityProfile::none;
  bool strings_terminated_;
  bool finished_ = false;
  std::chrono::steady_clock::time_point started_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace qel
