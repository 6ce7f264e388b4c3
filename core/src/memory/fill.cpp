#include <cstdint>
#include <cstring>

#include "qel/array_memory.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qel::array_memory {
namespace {

// Below this, the fence and the unaligned ends cost more than streaming
// saves. Loads fill their arrays a block at a time, and blocks are
// typically 64 KiB.
constexpr std::size_t kStreamFrom = std::size_t{16} << 10;

#if defined(__x86_64__)
// SSE2, which every x86-64 processor has; wider stores gain nothing here,
// as the write-combining buffers join them into whole lines either way.
void stream(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) noexcept {
  for (std::size_t i = 0; i < bytes; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + i + 48), d);
  }
  // Streaming stores are weakly ordered: the fence orders them before
  // anything written after the copy, such as what hands the array to
  // another thread.
  _mm_sfence();
}
#endif

}  // namespace

void fill(void* to, const void* from, std::size_t bytes) noexcept {
#if defined(__x86_64__)
  if (bytes >= kStreamFrom) {
    auto* out = static_cast<std::uint8_t*>(to);
    const auto* in = static_cast<const std::uint8_t*>(from);
    // Streamed in whole lines of the destination; the ends go as usual.
    const std::size_t head = (64 - reinterpret_cast<std::uintptr_t>(out) % 64) % 64;
    const std::size_t body = (bytes - head) / 64 * 64;
    std::memcpy(out, in, head);
    stream(out + head, in + head, body);
    std::memcpy(out + head + body, in + head + body, bytes - head - body);
    return;
  }
#endif
  if (bytes > 0) std::memcpy(to, from, bytes);
}

}  // namespace qel::array_memory
