#include "memory/mapping_cache.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "memory/reclaimer.hpp"

namespace qel::array_memory {
namespace {

std::size_t physical_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
}

void unmap(const Block& block) noexcept {
  ::munmap(block.data, block.bytes);
}

}  // namespace

MappingCache& MappingCache::shared() {
  // Never destroyed: arrays may be freed by other threads during exit.
  static MappingCache* const cache =
      new MappingCache(physical_memory_bytes() / 16, Clock::now,
                       [](Clock::time_point due) { Reclaimer::shared().wake(due); });
  return *cache;
}

MappingCache::~MappingCache() {
  for (const Kept& kept : kept_) unmap(kept.block);
}

std::optional<Block> MappingCache::take(std::size_t bytes, Fit fit) {
  std::vector<Block> evicted;
  std::optional<Block> taken;
  {
    const std::lock_guard lock(mutex_);
    evicted = evict_locked(0);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->block.bytes < bytes) continue;
      if (best == kept_.end() || (fit == Fit::smallest) == (it->block.bytes < best->block.bytes)) {
        best = it;
      }
    }
    if (best == kept_.end()) {
      // None fits: the caller maps new memory, which should be these pages
      // rather than ones the process has never touched.
      for (const Kept& kept : kept_) evicted.push_back(kept.block);
      kept_.clear();
      kept_bytes_ = 0;
    } else {
      taken = best->block;
      kept_bytes_ -= best->block.bytes;
      kept_.erase(best);
    }
  }
  std::ranges::for_each(evicted, unmap);
  return taken;
}

void MappingCache::keep(Block block) noexcept {
  if (block.bytes > limit_bytes_) {
    unmap(block);
    return;
  }
#if defined(MADV_FREE)
  ::madvise(block.data, block.bytes, MADV_FREE);
#endif
  std::vector<Block> evicted;
  Clock::time_point since;
  try {
    const std::lock_guard lock(mutex_);
    evicted = evict_locked(block.bytes);
    since = now_();
    kept_.push_back({block, since});
    kept_bytes_ += block.bytes;
  } catch (...) {
    unmap(block);
    return;
  }
  std::ranges::for_each(evicted, unmap);
  if (wake_) wake_(since + kKeepFor);
}

std::optional<Clock::time_point> MappingCache::release_expired() noexcept {
  std::vector<Block> evicted;
  std::optional<Clock::time_point> due;
  {
    const std::lock_guard lock(mutex_);
    try {
      evicted = evict_locked(0);
    } catch (...) {
      return now_() + kKeepFor;  // nothing could be moved out; try again later
    }
    if (!kept_.empty()) due = kept_.front().since + kKeepFor;
  }
  std::ranges::for_each(evicted, unmap);
  return due;
}

std::size_t MappingCache::kept_bytes() const {
  const std::lock_guard lock(mutex_);
  return kept_bytes_;
}

std::vector<Block> MappingCache::evict_locked(std::size_t extra) {
  std::vector<Block> evicted;
  const Clock::time_point stale = now_() - kKeepFor;
  // Oldest first: kept_ is in the order blocks arrived.
  auto end = kept_.begin();
  while (end != kept_.end() && (end->since <= stale || kept_bytes_ + extra > limit_bytes_)) {
    evicted.push_back(end->block);
    kept_bytes_ -= end->block.bytes;
    ++end;
  }
  kept_.erase(kept_.begin(), end);
  return evicted;
}

}  // namespace qel::array_memory
#endif
