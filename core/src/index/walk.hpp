#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "index/blocks.hpp"
#include "index/source.hpp"
#include "qel/error.hpp"
#include "qel/integrity.hpp"
#include "qel/meta.hpp"

namespace qel {

// The bytes of the block area in order, read in small pieces and skipped over.
class HeadInput {
 public:
  virtual ~HeadInput() = default;
  // Fills `out`; fewer bytes only at the end.
  virtual Result<std::size_t> read(std::span<std::uint8_t> out) = 0;
  // Passes over up to `count` bytes; how many there were.
  virtual Result<std::uint64_t> skip(std::uint64_t count) = 0;
};

// The heads of a plain file from `offset` on, by positioned reads of small
// windows: payloads are never read.
std::unique_ptr<HeadInput> plain_heads(std::shared_ptr<const PlainFile> file, std::uint64_t offset);
// The heads of a stream read in order (an inflated file); payloads pass by.
std::unique_ptr<HeadInput> streamed_heads(BufferedInput& stream);

// Walks the block area from `offset`, reading the frame heads only, with the
// block reader's rules: the same end, truncation, trailer, signature-block
// and skip rules, and the same errors for what the heads alone reveal.
Result<BlockMap> walk_blocks(HeadInput& input, std::uint64_t offset, const MetaBlock& meta,
                             IntegrityProfile integrity);

}  // namespace qel
