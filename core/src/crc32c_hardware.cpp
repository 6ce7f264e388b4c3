#include <cstring>

#include "qel/integrity.hpp"

#if defined(__x86_64__)
#include <nmmintrin.h>
#elif defined(__aarch64__)
#include <arm_acle.h>
#include <sys/auxv.h>
#endif

namespace qel::detail {

#if defined(__x86_64__)

bool crc32c_hardware_available() noexcept {
  return __builtin_cpu_supports("sse4.2");
}

__attribute__((target("sse4.2"))) std::uint32_t crc32c_hardware(
    std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
  std::uint64_t state = ~crc;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
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
