// Prints the CRC-32C throughput of every path this CPU supports.
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "qel/integrity.hpp"

namespace {

using Crc = std::uint32_t (*)(std::uint32_t, std::span<const std::uint8_t>) noexcept;

// Best of 5 rounds, each going over `data` in pieces of `piece` bytes, or
// over its first piece again and again so it stays in cache.
double gib_per_second(Crc crc, const std::vector<std::uint8_t>& data, std::size_t piece,
                      bool cached, std::uint32_t& sink) {
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < data.size(); at += piece) {
      sink ^= crc(sink, std::span(data).subspan(cached ? 0 : at, piece));
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::max(best, static_cast<double>(data.size()) / took.count() / (1u << 30));
  }
  return best;
}

}  // namespace

int main() {
  std::vector<std::uint8_t> data(64u << 20);
  std::mt19937 engine(42);
  for (auto& byte : data) byte = static_cast<std::uint8_t>(engine());
  std::uint32_t sink = 0;
  constexpr std::size_t kPiece = 256u << 10;
  std::printf("crc32c over 64 MiB, best of 5: whole / in 256 KiB pieces kept in cache\n");
  const struct {
    const char* name;
    Crc crc;
    bool available;
  } paths[] = {
      {"fold64", qel::detail::crc32c_fold64, qel::detail::crc32c_fold64_available()},
      {"hardware", qel::detail::crc32c_hardware, qel::detail::crc32c_hardware_available()},
      {"portable", qel::detail::crc32c_portable, true},
  };
  for (const auto& path : paths) {
    if (path.available) {
      std::printf("  %-8s: %6.2f / %6.2f GiB/s\n", path.name,
                  gib_per_second(path.crc, data, data.size(), false, sink),
                  gib_per_second(path.crc, data, kPiece, true, sink));
    } else {
      std::printf("  %-8s: not available on this CPU\n", path.name);
    }
  }
  return sink == 0xFFFFFFFF ? 1 : 0;
}
