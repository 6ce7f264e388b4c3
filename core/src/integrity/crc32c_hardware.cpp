#include <cstring>

#include "integrity/crc32c_shift.hpp"
#include "qel/integrity.hpp"

#if defined(__x86_64__)
#include <nmmintrin.h>
#elif defined(__aarch64__)
#include <arm_acle.h>
#include <sys/auxv.h>
#endif

namespace qel::detail {

#if defined(__x86_64__)

namespace {

// The crc32 instruction has a latency of three cycles but a throughput of
// one, so long inputs run as three independent lanes whose CRCs are then
// joined: long lanes first, short ones for the rest.
constexpr std::size_t kLongLane = 8192;
constexpr std::size_t kShortLane = 256;

template <std::size_t kLane>
__attribute__((target("sse4.2"))) std::uint64_t three_lanes(std::uint64_t state,
                                                            const std::uint8_t*& p,
                                                            std::size_t& n) noexcept {
  for (; n >= 3 * kLane; p += 3 * kLane, n -= 3 * kLane) {
    std::uint64_t lane1 = 0;
    std::uint64_t lane2 = 0;
    for (std::size_t i = 0; i < kLane; i += 8) {
      std::uint64_t words[3];
      std::memcpy(&words[0], p + i, 8);
      std::memcpy(&words[1], p + kLane + i, 8);
      std::memcpy(&words[2], p + 2 * kLane + i, 8);
      state = _mm_crc32_u64(state, words[0]);
      lane1 = _mm_crc32_u64(lane1, words[1]);
      lane2 = _mm_crc32_u64(lane2, words[2]);
    }
    state = shift_over<kLane>(static_cast<std::uint32_t>(state)) ^ lane1;
    state = shift_over<kLane>(static_cast<std::uint32_t>(state)) ^ lane2;
  }
  return state;
}

}  // namespace

bool crc32c_hardware_available() noexcept {
  return __builtin_cpu_supports("sse4.2");
}

__attribute__((target("sse4.2"))) std::uint32_t crc32c_hardware(
    std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  std::uint64_t state = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  state = three_lanes<kLongLane>(state, p, n);
  state = three_lanes<kShortLane>(state, p, n);
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = _mm_crc32_u64(state, word);
  }
  auto narrow = static_cast<std::uint32_t>(state);
  for (; n > 0; ++p, --n) narrow = _mm_crc32_u8(narrow, *p);
  return ~narrow;
}

#elif defined(__aarch64__)

bool crc32c_hardware_available() noexcept {
  return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0;
}

__attribute__((target("+crc"))) std::uint32_t crc32c_hardware(
    std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  std::uint32_t state = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    state = __crc32cd(state, word);
  }
  for (; n > 0; ++p, --n) state = __crc32cb(state, *p);
  return ~state;
}

#else

bool crc32c_hardware_available() noexcept {
  return false;
}

std::uint32_t crc32c_hardware(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  return crc32c_portable(crc, bytes);
}

#endif

}  // namespace qel::detail
