#pragma once

#include <cstddef>
#include <memory>

#include "index/file_index.hpp"
#include "qel/file.hpp"

namespace qel {

// Pieces of one channel of `index`, which `file` keeps alive.
Result<std::unique_ptr<ChunkCursor>> make_chunk_cursor(std::shared_ptr<const File> file,
                                                       const FileIndex& index, const Channel& info,
                                                       std::size_t max_samples,
                                                       const TimeWindow& window);

}  // namespace qel
