#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "qel/array_memory.hpp"

namespace qel::array_memory {

// Mappings of freed large arrays, kept for the next arrays of similar size.
// Their pages are already faulted in, so reusing them skips the kernel's
// zeroing of fresh pages, which costs about as much as filling them. Kept
// pages are given back lazily (MADV_FREE), so the kernel reclaims them under
// memory pressure; the cache holds at most an eighth of physical memory and
// unmaps what nobody took within kKeepFor.
class MappingCache {
 public:
  enum class Fit { smallest, largest };

  static MappingCache& shared();

  explicit MappingCache(std::size_t limit_bytes) : limit_bytes_(limit_bytes) {}
  ~MappingCache();
  MappingCache(const MappingCache&) = delete;
  MappingCache& operator=(const MappingCache&) = delete;

  // A kept mapping of at least `bytes`, now the caller's; nothing when none
  // fits, and then the cache is emptied.
  std::optional<Block> take(std::size_t bytes, Fit fit);
  // Keeps a mapped block for reuse, or unmaps it when the cache is full.
  void keep(Block block) noexcept;

  std::size_t kept_bytes() const;

  static constexpr std::chrono::seconds kKeepFor{2};

 private:
  using Clock = std::chrono::steady_clock;
  struct Kept {
    Block block;
    Clock::time_point since;
  };

  // Moves out what is too old, then the oldest until `extra` more bytes fit.
  std::vector<Block> evict_locked(std::size_t extra);

  mutable std::mutex mutex_;
  std::vector<Kept> kept_;
  std::size_t kept_bytes_ = 0;
  const std::size_t limit_bytes_;
};

}  // namespace qel::array_memory
