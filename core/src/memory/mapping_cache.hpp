#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "qel/array_memory.hpp"

namespace qel::array_memory {

using Clock = std::chrono::steady_clock;
// How long freed memory is kept for reuse before it is given back.
inline constexpr std::chrono::seconds kKeepFor{2};

// Mappings of freed large arrays, kept for the next arrays of similar size.
// Their pages are already faulted in, so reusing them skips the kernel's
// zeroing of fresh pages, which costs about as much as filling them. Kept
// pages are given back lazily (MADV_FREE), so the kernel reclaims them under
// memory pressure; the cache holds at most a sixteenth of physical memory and
// unmaps what nobody took within kKeepFor.
class MappingCache {
 public:
  enum class Fit { smallest, largest };
  using Now = std::function<Clock::time_point()>;
  // Told when something kept falls due, so that it is given back on time.
  using Wake = std::function<void(Clock::time_point)>;

  static MappingCache& shared();

  explicit MappingCache(std::size_t limit_bytes, Now now = Clock::now, Wake wake = {})
      : limit_bytes_(limit_bytes), now_(std::move(now)), wake_(std::move(wake)) {}
  ~MappingCache();
  MappingCache(const MappingCache&) = delete;
  MappingCache& operator=(const MappingCache&) = delete;

  // A kept mapping of at least `bytes`, now the caller's; nothing when none
  // fits, and then the cache is emptied.
  std::optional<Block> take(std::size_t bytes, Fit fit);
  // Keeps a mapped block for reuse, or unmaps it when the cache is full.
  void keep(Block block) noexcept;

  // Unmaps what was kept for kKeepFor; when the next kept mapping is due.
  std::optional<Clock::time_point> release_expired() noexcept;

  std::size_t kept_bytes() const;

 private:
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
  const Now now_;
  const Wake wake_;
};

}  // namespace qel::array_memory
