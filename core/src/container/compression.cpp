#include "container/compression.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace qel {
namespace {

constexpr std::size_t kInflateInputBytes = 32768;

// One zlib or gzip stream, inflated straight into the caller's buffer.
class Inflater final : public InputStream {
 public:
  static Result<std::unique_ptr<Inflater>> create(std::unique_ptr<BufferedInput> file,
                                                  CompressionFormat format) {
    auto inflater = std::unique_ptr<Inflater>(new Inflater(std::move(file)));
    const int window_bits = format == CompressionFormat::gzip ? 16 + MAX_WBITS : MAX_WBITS;
    const int rc = inflateInit2(&inflater->zs_, window_bits);
    if (rc == Z_MEM_ERROR) return std::unexpected(Error::out_of_memory());
    if (rc != Z_OK) {
      return std::unexpected(Error::io_message(
          inflater->zs_.msg != nullptr ? inflater->zs_.msg : "failed to initialise the inflater"));
    }
    inflater->initialised_ = true;
    return inflater;
  }

  ~Inflater() override {
    if (initialised_) inflateEnd(&zs_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (stream_ended_ || out.empty()) return 0;
    zs_.next_out = out.data();
    zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), UINT_MAX));
    const uInt requested = zs_.avail_out;
    while (zs_.avail_out == requested) {
      if (zs_.avail_in == 0) {
        QEL_ASSIGN_OR_RETURN(const bool more, refill());
        if (!more) break;
      }
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        stream_ended_ = true;
        break;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return std::unexpected(failure(rc));
    }
    return requested - zs_.avail_out;
  }

 private:
  explicit Inflater(std::unique_ptr<BufferedInput> file)
      : file_(std::move(file)), input_(kInflateInputBytes) {}

  // Loads more compressed bytes; false once the file has none left.
  Result<bool> refill() {
    QEL_ASSIGN_OR_RETURN(const std::size_t got, file_->read(input_));
    zs_.next_in = input_.data();
    zs_.avail_in = static_cast<uInt>(got);
    return got > 0;
  }

  Error failure(int rc) const {
    if (rc == Z_MEM_ERROR) return Error::out_of_memory();
    if (zs_.msg != nullptr) return Error::io_message(zs_.msg);
    if (rc == Z_NEED_DICT) return Error::io_message("compressed stream needs a preset dictionary");
    return Error::io_message("corrupt compressed stream");
  }

  std::unique_ptr<BufferedInput> file_;
  std::vector<std::uint8_t> input_;
  z_stream zs_{};
  bool initialised_ = false;
  bool stream_ended_ = false;
};

CompressionFormat detect(std::span<const std::uint8_t> start) noexcept {
  if (start.size() < 2) return CompressionFormat::none;
  if (start[0] == 0x1F && start[1] == 0x8B) return CompressionFormat::gzip;
  if (start[0] == 0x78 &&
      (start[1] == 0x01 || start[1] == 0x5E || start[1] == 0x9C || start[1] == 0xDA)) {
    return CompressionFormat::zlib;
  }
  return CompressionFormat::none;
}

}  // namespace

std::string_view to_string(CompressionFormat format) noexcept {
  switch (format) {
    case CompressionFormat::zlib:
      return "zlib";
    case CompressionFormat::gzip:
      return "gzip";
    case CompressionFormat::none:
      break;
  }
  return "none";
}

Result<MaybeCompressed> detect_and_wrap(std::unique_ptr<InputStream> file) {
  BufferedInput buffered(std::move(file));
  QEL_ASSIGN_OR_RETURN(const auto start, buffered.peek(2));
  const CompressionFormat format = detect(start);
  if (format == CompressionFormat::none) return MaybeCompressed{std::move(buffered), format};
  // Below the inflater the buffer keeps what was peeked; the inflater reads
  // in steps larger than it, which then pass straight through.
  QEL_ASSIGN_OR_RETURN(
      auto inflater,
      Inflater::create(std::make_unique<BufferedInput>(std::move(buffered)), format));
  return MaybeCompressed{BufferedInput(std::move(inflater)), format};
}

}  // namespace qel
