// The load through the gzip and zlib decoders. The first input byte picks
// the format (bit 0) and where the compressed stream is cut (the rest); the
// remaining bytes are compressed. An uncut stream must load exactly as the
// plain bytes do; a cut one must only end cleanly.
#include <zlib.h>

#include <cstdint>
#include <span>
#include <vector>

#include "fingerprint.hpp"

namespace {

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> plain, bool gzip) {
  z_stream z{};
  // windowBits 15 writes a zlib stream, 15 + 16 a gzip member.
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzip ? 31 : 15, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    __builtin_trap();
  }
  std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(plain.size())));
  z.next_in = const_cast<Bytef*>(plain.data());
  z.avail_in = static_cast<uInt>(plain.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) __builtin_trap();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Plain bytes that themselves start like a compressed stream are decoded by
// the plain load but taken as they are once inside a compressed stream.
bool looks_compressed(std::span<const std::uint8_t> plain) {
  if (plain.size() < 2) return false;
  if (plain[0] == 0x1F && plain[1] == 0x8B) return true;
  return plain[0] == 0x78 &&
         (plain[1] == 0x01 || plain[1] == 0x5E || plain[1] == 0x9C || plain[1] == 0xDA);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool gzip = (data[0] & 1) != 0;
  const unsigned cut = data[0] >> 1;  // 0: whole stream, else drop 1..127 bytes
  const std::span<const std::uint8_t> plain(data + 1, size - 1);
  std::vector<std::uint8_t> compressed = compress(plain, gzip);
  if (cut == 0) {
    if (looks_compressed(plain)) return 0;
    if (qel::fuzz::load_outcome(compressed) != qel::fuzz::load_outcome(plain)) __builtin_trap();
    return 0;
  }
  compressed.resize(compressed.size() > cut ? compressed.size() - cut : 0);
  (void)qel::fuzz::load_outcome(compressed);
  return 0;
}
