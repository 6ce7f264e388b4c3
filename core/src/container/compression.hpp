#pragma once

#include <memory>

#include "container/buffered_input.hpp"
#include "qel/compression.hpp"
#include "qel/error.hpp"
#include "qel/stream.hpp"

namespace qel {

// The byte stream under the header parser and the block reader: the file,
// inflated when it is gzip or zlib compressed, behind the read path's buffer.
// Decoder failures are `Io` errors; compressed data that stops early reads as
// an early end of the data.
struct MaybeCompressed {
  BufferedInput input;
  CompressionFormat format = CompressionFormat::none;
};

// Peeks at the first two bytes of `file` and puts the matching decoder
// behind the buffer.
Result<MaybeCompressed> detect_and_wrap(std::unique_ptr<InputStream> file);

}  // namespace qel
