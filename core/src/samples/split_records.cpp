#include "samples/split_records.hpp"

#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qel {
namespace {

template <std::size_t kValueBytes>
void split_scalar(const std::uint8_t* in, std::size_t count, std::int64_t* times,
                  std::uint8_t* values) noexcept {
  for (std::size_t i = 0; i < count; ++i, in += 8 + kValueBytes) {
    std::memcpy(times + i, in, 8);
    std::memcpy(values + i * kValueBytes, in + 8, kValueBytes);
  }
}

#if defined(__x86_64__)
// Streaming stores write whole lines of an output without fetching them into
// the cache first; they need lines to start at, hence the lead-in below.
template <bool kStream>
__attribute__((target("avx512f"))) void store(void* at, __m512i value) noexcept {
  if constexpr (kStream) {
    _mm512_stream_si512(static_cast<__m512i*>(at), value);
  } else {
    _mm512_storeu_si512(at, value);
  }
}

// Sixteen 12-byte records are 48 dwords in three vectors; two-source
// permutes pick the timestamps' dword pairs and the values' dwords.
template <bool kStream>
__attribute__((target("avx512f"))) std::size_t split_avx512_4(const std::uint8_t* in,
                                                              std::size_t count,
                                                              std::int64_t* times,
                                                              std::uint8_t* values) noexcept {
  // Dword k of the sixteen records: timestamp j is at 3j, 3j+1; value j at 3j+2.
  // Indices 16..31 of a two-source permute address its second vector.
  const __m512i times_lo_ab = _mm512_setr_epi32(0, 1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 16, 18, 19, 21,
                                                22);  // records 0-7 from vectors a, b
  const __m512i times_hi_bc = _mm512_setr_epi32(8, 9, 11, 12, 14, 15, 17, 18, 20, 21, 23, 24, 26,
                                                27, 29, 30);  // records 8-15 from b, c
  const __m512i values_ab = _mm512_setr_epi32(2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 0, 0, 0, 0, 0,
                                              0);  // records 0-9 from a, b
  const __m512i values_c = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16 + 0, 16 + 3, 16 + 6,
                                             16 + 9, 16 + 12, 16 + 15);  // 10-15 from c
  std::size_t i = 0;
  for (; i + 16 <= count; i += 16, in += 192) {
    const __m512i a = _mm512_loadu_si512(in);
    const __m512i b = _mm512_loadu_si512(in + 64);
    const __m512i c = _mm512_loadu_si512(in + 128);
    store<kStream>(times + i, _mm512_permutex2var_epi32(a, times_lo_ab, b));
    store<kStream>(times + i + 8, _mm512_permutex2var_epi32(b, times_hi_bc, c));
    const __m512i first = _mm512_permutex2var_epi32(a, values_ab, b);
    store<kStream>(values + 4 * i, _mm512_permutex2var_epi32(first, values_c, c));
  }
  return i;
}

// Sixteen-byte records alternate timestamp and value qwords.
template <bool kStream>
__attribute__((target("avx512f"))) std::size_t split_avx512_8(const std::uint8_t* in,
                                                              std::size_t count,
                                                              std::int64_t* times,
                                                              std::uint8_t* values) noexcept {
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8, in += 128) {
    const __m512i a = _mm512_loadu_si512(in);
    const __m512i b = _mm512_loadu_si512(in + 64);
    store<kStream>(times + i, _mm512_permutex2var_epi64(a, even, b));
    store<kStream>(values + 8 * i, _mm512_permutex2var_epi64(a, odd, b));
  }
  return i;
}

bool has_avx512() noexcept {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}

// Below this many input bytes, the lead-in and the fence cost more than
// streaming saves.
constexpr std::size_t kStreamFrom = std::size_t{16} << 10;

bool starts_line(const void* at) noexcept {
  return reinterpret_cast<std::uintptr_t>(at) % 64 == 0;
}

// How many records to split first so that both outputs start a line; none
// when they never do together, or when the records are too few to stream.
template <std::size_t kValueBytes>
std::optional<std::size_t> lead_in(std::size_t count, const std::int64_t* times,
                                   const std::uint8_t* values) noexcept {
  if (count * (8 + kValueBytes) < kStreamFrom) return std::nullopt;
  for (std::size_t k = 0; k < 16; ++k) {
    if (starts_line(times + k) && starts_line(values + k * kValueBytes)) return k;
  }
  return std::nullopt;
}

template <std::size_t kValueBytes, bool kStream>
std::size_t split_avx512(const std::uint8_t* in, std::size_t count, std::int64_t* times,
                         std::uint8_t* values) noexcept {
  return kValueBytes == 4 ? split_avx512_4<kStream>(in, count, times, values)
                          : split_avx512_8<kStream>(in, count, times, values);
}

template <std::size_t kValueBytes>
std::size_t split_vectors(const std::uint8_t* in, std::size_t count, std::int64_t* times,
                          std::uint8_t* values) noexcept {
  const auto lead = lead_in<kValueBytes>(count, times, values);
  if (!lead) return split_avx512<kValueBytes, false>(in, count, times, values);
  split_scalar<kValueBytes>(in, *lead, times, values);
  const std::size_t streamed = split_avx512<kValueBytes, true>(
      in + *lead * (8 + kValueBytes), count - *lead, times + *lead, values + *lead * kValueBytes);
  // Streaming stores are weakly ordered: fenced before anything written
  // after the split.
  _mm_sfence();
  return *lead + streamed;
}
#endif

}  // namespace

template <std::size_t kValueBytes>
void split_records(const std::uint8_t* in, std::size_t count, std::int64_t* times, void* values) {
  auto* out = static_cast<std::uint8_t*>(values);
  std::size_t done = 0;
#if defined(__x86_64__)
  if (has_avx512()) done = split_vectors<kValueBytes>(in, count, times, out);
#endif
  split_scalar<kValueBytes>(in + done * (8 + kValueBytes), count - done, times + done,
                            out + done * kValueBytes);
}

template void split_records<4>(const std::uint8_t*, std::size_t, std::int64_t*, void*);
template void split_records<8>(const std::uint8_t*, std::size_t, std::int64_t*, void*);

}  // namespace qel
