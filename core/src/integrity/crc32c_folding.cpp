#include <cstring>

#include "integrity/crc32c_shift.hpp"
#include "qel/integrity.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qel::detail {

#if defined(__x86_64__)

namespace {

// Long inputs are folded: a block of lanes is multiplied (carry-less) by x
// to the power of its distance to the next block, reduced modulo the
// polynomial, and XORed into that block. What is left at the end has the
// same CRC as the input and goes through the crc32 instruction.
//
// In the reflected form a 64-bit half holds a polynomial of degree < 64 with
// its highest term in bit 0; the carry-less product of two such halves is off
// by one factor x, which the constants below absorb.
constexpr std::uint64_t x_power_mod(unsigned exponent) {
  std::uint32_t reg = 0x80000000u;  // x^0
  for (unsigned i = 0; i < exponent; ++i) reg = (reg >> 1) ^ ((reg & 1) ? 0x82F63B78u : 0);
  return std::uint64_t{reg} << 32;
}

// Moves each 16-byte lane `bits` forward: its first half carries the terms 64
// bits higher than its second.
struct FoldConstants {
  std::uint64_t first;
  std::uint64_t second;
};

constexpr FoldConstants fold_by(unsigned bits) {
  return {x_power_mod(bits + 63), x_power_mod(bits - 1)};
}

__attribute__((target("sse4.2"))) std::uint32_t crc_of_block(const std::uint8_t* p,
                                                             std::size_t n) noexcept {
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    state = _mm_crc32_u64(state, word);
  }
  return static_cast<std::uint32_t>(state);
}

__attribute__((target("avx512f"))) __m512i pair512(FoldConstants k) noexcept {
  const auto first = static_cast<long long>(k.first);
  const auto second = static_cast<long long>(k.second);
  return _mm512_set4_epi64(second, first, second, first);
}

__attribute__((target("avx512f,vpclmulqdq"))) __m512i fold64(__m512i lane, __m512i k,
                                                             __m512i next) noexcept {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lane, k, 0x00),
                                   _mm512_clmulepi64_epi128(lane, k, 0x11), next, 0x96);
}

__attribute__((target("avx512f,vpclmulqdq,sse4.2"))) std::uint32_t fold64_lanes(
    std::uint32_t state, const std::uint8_t*& p, std::size_t& n) noexcept {
  constexpr FoldConstants kFar = fold_by(2048);
  constexpr FoldConstants kNear = fold_by(512);
  __m512i lanes[4];
  for (int i = 0; i < 4; ++i) lanes[i] = _mm512_loadu_si512(p + 64 * i);
  lanes[0] = _mm512_xor_si512(lanes[0], _mm512_maskz_set1_epi32(1, static_cast<int>(state)));
  const __m512i far = pair512(kFar);
  for (p += 256, n -= 256; n >= 256; p += 256, n -= 256) {
    for (int i = 0; i < 4; ++i) lanes[i] = fold64(lanes[i], far, _mm512_loadu_si512(p + 64 * i));
  }
  const __m512i near = pair512(kNear);
  for (int i = 1; i < 4; ++i) lanes[i] = fold64(lanes[i - 1], near, lanes[i]);
  std::uint8_t last[64];
  _mm512_storeu_si512(last, lanes[3]);
  return crc_of_block(last, sizeof last);
}

// The crc32 instruction runs beside the carry-less multiplier, so a chunk
// folds its first part while three crc32 lanes take the rest, a few words
// each per round; the lanes' CRCs are then joined by shifts over their
// length. Long chunks first, short ones for the rest.
constexpr std::size_t kLaneWords = 4;  // per lane and round

template <std::size_t kRounds>
struct Chunk {
  static constexpr std::size_t kFoldPart = kRounds * 256;
  static constexpr std::size_t kLanePart = kRounds * kLaneWords * 8;
  static constexpr std::size_t kBytes = kFoldPart + 3 * kLanePart;
};

template <std::size_t kLanePart>
__attribute__((target("sse4.2"))) inline void lane_round(std::uint64_t (&crcs)[3],
                                                         const std::uint8_t*& lane) noexcept {
  for (std::size_t w = 0; w < kLaneWords; ++w, lane += 8) {
    for (std::size_t k = 0; k < 3; ++k) {
      std::uint64_t word;
      std::memcpy(&word, lane + k * kLanePart, 8);
      crcs[k] = _mm_crc32_u64(crcs[k], word);
    }
  }
}

template <std::size_t kRounds>
__attribute__((target("avx512f,vpclmulqdq,sse4.2"))) std::uint32_t fold_chunk(
    std::uint32_t state, const std::uint8_t* p) noexcept {
  using Sizes = Chunk<kRounds>;
  constexpr FoldConstants kFar = fold_by(2048);
  constexpr FoldConstants kNear = fold_by(512);
  const std::uint8_t* lane = p + Sizes::kFoldPart;
  std::uint64_t crcs[3] = {0, 0, 0};
  __m512i lanes[4];
  for (int i = 0; i < 4; ++i) lanes[i] = _mm512_loadu_si512(p + 64 * i);
  lanes[0] = _mm512_xor_si512(lanes[0], _mm512_maskz_set1_epi32(1, static_cast<int>(state)));
  lane_round<Sizes::kLanePart>(crcs, lane);
  const __m512i far = pair512(kFar);
  for (std::size_t round = 1; round < kRounds; ++round) {
    p += 256;
    for (int i = 0; i < 4; ++i) lanes[i] = fold64(lanes[i], far, _mm512_loadu_si512(p + 64 * i));
    lane_round<Sizes::kLanePart>(crcs, lane);
  }
  const __m512i near = pair512(kNear);
  for (int i = 1; i < 4; ++i) lanes[i] = fold64(lanes[i - 1], near, lanes[i]);
  std::uint8_t last[64];
  _mm512_storeu_si512(last, lanes[3]);
  state = crc_of_block(last, sizeof last);
  for (const std::uint64_t crc : crcs) {
    state = shift_over<Sizes::kLanePart>(state) ^ static_cast<std::uint32_t>(crc);
  }
  return state;
}

template <std::size_t kRounds>
std::uint32_t fold_chunks(std::uint32_t state, const std::uint8_t*& p, std::size_t& n) noexcept {
  constexpr std::size_t kBytes = Chunk<kRounds>::kBytes;
  for (; n >= kBytes; p += kBytes, n -= kBytes) state = fold_chunk<kRounds>(state, p);
  return state;
}

}  // namespace

bool crc32c_fold64_available() noexcept {
  return __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("vpclmulqdq");
}

// Shorter inputs are not worth the setup and go to the crc32 instruction.
std::uint32_t crc32c_fold64(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < 1024) return crc32c_hardware(crc, bytes);
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint32_t state = ~crc;
  state = fold_chunks<64>(state, p, n);
  state = fold_chunks<16>(state, p, n);
  if (n >= 1024) state = fold64_lanes(state, p, n);
  return crc32c_hardware(~state, {p, n});
}

#else

bool crc32c_fold64_available() noexcept {
  return false;
}

std::uint32_t crc32c_fold64(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  return crc32c_hardware(crc, bytes);
}

#endif

}  // namespace qel::detail
