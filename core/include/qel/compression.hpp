#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "qel/error.hpp"
#include "qel/stream.hpp"

namespace qel {

enum class CompressionFormat : std::uint8_t { none = 0, zlib = 1, gzip = 2 };

// "none", "zlib", "gzip".
std::string_view to_string(CompressionFormat format) noexcept;

// The byte stream under the header parser and the block reader: the file behind
// a read buffer, inflated when the file is gzip or zlib compressed. It owns the
// file. Decoder failures are `Io` errors; compressed data that stops early reads
// as an early end of the data.
class MaybeCompressed final : public InputStream {
 public:
  MaybeCompressed(std::unique_ptr<InputStream> decoded, CompressionFormat format) noexcept
      : decoded_(std::move(decoded)), format_(format) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override { return decoded_->read(out); }
  CompressionFormat format() const noexcept { return format_; }

 private:
  std::unique_ptr<InputStream> decoded_;
  CompressionFormat format_;
};

// Peeks at the first two bytes of `file`, without consuming them, and wraps it
// in the matching decoder.
Result<std::unique_ptr<MaybeCompressed>> detect_and_wrap(std::unique_ptr<InputStream> file);

}  // namespace qel
