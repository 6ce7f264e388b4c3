#include "memory/slice_pool.hpp"

#if defined(__linux__)
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "memory/reclaimer.hpp"

namespace qel::array_memory {
namespace {

// Large enough that few arrays end one, small enough that the arrays of one
// load fill chunks of their own, which go back to the cache whole when the
// load's arrays are freed, rather than sharing chunks with the arrays of the
// next load and keeping freed pages resident beside them.
constexpr std::size_t kChunkBytes = std::size_t{64} << 20;

std::size_t round_up(std::size_t bytes, std::size_t unit) {
  if (bytes > SIZE_MAX - unit) throw std::bad_alloc();
  return (bytes + unit - 1) & ~(unit - 1);
}

void give_back(std::uint8_t* data, std::size_t bytes) noexcept {
  if (bytes > 0) ::madvise(data, bytes, MADV_DONTNEED);
}

// Mapped a huge page larger and trimmed to start on a huge page boundary,
// so that all of it can be backed by huge pages.
void* map_chunk(std::size_t bytes) noexcept {
  constexpr std::size_t huge = SlicePool::kHugePage;
  if (bytes > SIZE_MAX - huge) return nullptr;
  const std::size_t mapped = bytes + huge;
  void* data = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (data == MAP_FAILED) return nullptr;
  auto* const start = static_cast<std::uint8_t*>(data);
  const std::size_t head = (huge - reinterpret_cast<std::uintptr_t>(start) % huge) % huge;
  if (head > 0) ::munmap(start, head);
  if (mapped - head > bytes) ::munmap(start + head + bytes, mapped - head - bytes);
  return start + head;
}

}  // namespace

SlicePool& SlicePool::shared() {
  // Never destroyed: arrays may be freed by other threads during exit.
  static SlicePool* const pool =
      new SlicePool(MappingCache::shared(), kChunkBytes, Clock::now,
                    [](Clock::time_point due) { Reclaimer::shared().wake(due); });
  return *pool;
}

SlicePool::SlicePool(MappingCache& cache, std::size_t chunk_bytes, MappingCache::Now now,
                     MappingCache::Wake wake)
    : cache_(cache), chunk_bytes_(chunk_bytes), now_(std::move(now)), wake_(std::move(wake)) {}

SlicePool::~SlicePool() {
  for (const auto& chunk : chunks_) ::munmap(chunk->base, chunk->bytes);
}

std::size_t SlicePool::offset_of(const Block& block) noexcept {
  return static_cast<std::size_t>(static_cast<std::uint8_t*>(block.data) - chunk_of(block).base);
}

Block SlicePool::allocate(std::size_t bytes) {
  const std::size_t size = round_up(std::max<std::size_t>(bytes, 1), kPage);
  std::unique_lock lock(mutex_);
  Lane& lane = pick_lane(size);
  if (lane.chunk == nullptr || lane.chunk->bytes - lane.chunk->top < size) {
    chunks_.reserve(chunks_.size() + 1);
    std::unique_ptr<Chunk> chunk = new_chunk(size);
    // A lane's chunk always holds a live array: one without is retired.
    if (lane.chunk != nullptr) lane.chunk->lane = -1;
    chunk->lane = static_cast<int>(&lane - lanes_.data());
    lane.chunk = chunk.get();
    chunks_.push_back(std::move(chunk));
  }
  Chunk& chunk = *lane.chunk;
  const std::size_t offset = chunk.top;
  chunk.top += size;
  chunk.high = std::max(chunk.high, chunk.top);
  ++chunk.live;
  touch(chunk, false);
  return {chunk.base + offset, size, true, &chunk};
}

SlicePool::Lane& SlicePool::pick_lane(std::size_t bytes) noexcept {
  Lane* settled = nullptr;
  Lane* oldest = &lanes_[0];
  for (Lane& lane : lanes_) {
    if (lane.touched < oldest->touched) oldest = &lane;
    const bool room = lane.chunk != nullptr && lane.chunk->bytes - lane.chunk->top >= bytes;
    if (lane.settled && room && (settled == nullptr || lane.touched < settled->touched)) {
      settled = &lane;
    }
  }
  return settled != nullptr ? *settled : *oldest;
}

void SlicePool::touch(Chunk& chunk, bool settled) noexcept {
  if (chunk.lane < 0) return;
  Lane& lane = lanes_[static_cast<std::size_t>(chunk.lane)];
  lane.touched = ++tick_;
  lane.settled = settled;
}

std::unique_ptr<SlicePool::Chunk> SlicePool::new_chunk(std::size_t bytes) {
  auto chunk = std::make_unique<Chunk>();
  if (auto kept = cache_.take(bytes, MappingCache::Fit::largest)) {
    chunk->base = static_cast<std::uint8_t*>(kept->data);
    chunk->bytes = kept->bytes;
    // Resident already: given back on the same schedule as freed arrays.
    chunk->high = kept->bytes;
    chunk->topped = now_();
    return chunk;
  }
  const std::size_t least = round_up(bytes, kHugePage);
  std::size_t size = std::max(chunk_bytes_, least);
  void* data = map_chunk(size);
  if (data == nullptr && size > least) data = map_chunk(size = least);
  if (data == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  ::madvise(data, size, MADV_HUGEPAGE);
#endif
  chunk->base = static_cast<std::uint8_t*>(data);
  chunk->bytes = size;
  return chunk;
}

std::optional<Block> SlicePool::grow_in_place(const Block& block, std::size_t bytes) {
  const std::size_t size = round_up(bytes, kPage);
  const std::lock_guard lock(mutex_);
  Chunk& chunk = chunk_of(block);
  const std::size_t offset = offset_of(block);
  if (offset + block.bytes != chunk.top || size > chunk.bytes - offset) return std::nullopt;
  if (size > block.bytes) {
    chunk.top = offset + size;
    chunk.high = std::max(chunk.high, chunk.top);
  }
  touch(chunk, false);
  return Block{block.data, std::max(size, block.bytes), true, &chunk};
}

std::optional<Block> SlicePool::move_out(const Block& block, std::size_t bytes) {
  const std::size_t size = round_up(bytes, kHugePage);
  std::optional<Block> retired;
  void* moved = nullptr;
  {
    const std::lock_guard lock(mutex_);
    Chunk& chunk = chunk_of(block);
    const std::size_t offset = offset_of(block);
    if (offset + block.bytes != chunk.top) return std::nullopt;
    moved = ::mremap(block.data, block.bytes, size, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return std::nullopt;
    // The chunk now ends where the array began; what lay beyond the array
    // was never carved.
    const std::size_t beyond = offset + block.bytes;
    if (beyond < chunk.bytes) ::munmap(chunk.base + beyond, chunk.bytes - beyond);
    chunk.bytes = chunk.top = offset;
    chunk.high = std::min(chunk.high, offset);
    if (chunk.lane >= 0) lanes_[static_cast<std::size_t>(chunk.lane)].chunk = nullptr;
    chunk.lane = -1;
    if (--chunk.live == 0) retired = retire(chunk);
  }
#if defined(MADV_HUGEPAGE)
  ::madvise(moved, size, MADV_HUGEPAGE);
#endif
  if (retired) cache_.keep(*retired);
  return Block{moved, size, true};
}

Block SlicePool::shrink(const Block& block, std::size_t used) noexcept {
  const std::size_t size =
      std::min(block.bytes, (std::max<std::size_t>(used, 1) + kPage - 1) & ~(kPage - 1));
  {
    const std::lock_guard lock(mutex_);
    Chunk& chunk = chunk_of(block);
    const std::size_t offset = offset_of(block);
    if (size < block.bytes) free_range(chunk, offset + size, offset + block.bytes, true);
    // Done growing: the next array may follow it.
    if (chunk.top == offset + size) touch(chunk, true);
  }
  if (size < block.bytes && wake_) wake_(now_() + kKeepFor);
  return {block.data, size, true, block.chunk};
}

void SlicePool::release(const Block& block) noexcept {
  if (std::optional<Block> retired = free_array(block, true)) cache_.keep(*retired);
}

void SlicePool::discard(const Block& block) noexcept {
  if (std::optional<Block> retired = free_array(block, false)) cache_.keep(*retired);
}

std::optional<Block> SlicePool::free_array(const Block& block, bool keep_pages) noexcept {
  {
    const std::lock_guard lock(mutex_);
    Chunk& chunk = chunk_of(block);
    if (--chunk.live == 0) return retire(chunk);
    const std::size_t offset = offset_of(block);
    free_range(chunk, offset, offset + block.bytes, keep_pages);
    if (chunk.top <= offset) touch(chunk, true);
  }
  if (keep_pages && wake_) wake_(now_() + kKeepFor);
  return std::nullopt;
}

void SlicePool::free_range(Chunk& chunk, std::size_t start, std::size_t end,
                           bool keep_pages) noexcept {
  const Clock::time_point now = now_();
  if (!keep_pages) give_back(chunk.base + start, end - start);
  if (end == chunk.top) {
    // Freed arrays just below come off the top as well; what lies above it
    // is carved again first.
    chunk.top = start;
    while (!chunk.freed.empty()) {
      const auto last = std::prev(chunk.freed.end());
      if (last->second.end != chunk.top) break;
      chunk.top = last->first;
      chunk.freed.erase(last);
    }
    chunk.topped = now;
    return;
  }
  Freed freed{end, now, !keep_pages};
  auto next = chunk.freed.lower_bound(start);
  if (next != chunk.freed.end() && next->first == end) {
    freed.end = next->second.end;
    freed.given_back = freed.given_back && next->second.given_back;
    next = chunk.freed.erase(next);
  }
  if (next != chunk.freed.begin()) {
    const auto before = std::prev(next);
    if (before->second.end == start) {
      before->second = {freed.end, now, freed.given_back && before->second.given_back};
      return;
    }
  }
  try {
    chunk.freed.emplace_hint(next, start, freed);
  } catch (...) {
    give_back(chunk.base + start, end - start);  // untracked, so given back at once
  }
}

std::optional<Block> SlicePool::retire(Chunk& chunk) noexcept {
  if (chunk.lane >= 0) lanes_[static_cast<std::size_t>(chunk.lane)] = Lane{};
  // Only what was carved may be resident; the rest is address space.
  const std::size_t keep = std::min(chunk.bytes, (chunk.high + kHugePage - 1) & ~(kHugePage - 1));
  if (keep < chunk.bytes) ::munmap(chunk.base + keep, chunk.bytes - keep);
  const Block kept{chunk.base, keep, true};
  std::erase_if(chunks_, [&](const std::unique_ptr<Chunk>& c) { return c.get() == &chunk; });
  if (keep == 0) return std::nullopt;
  return kept;
}

std::optional<Clock::time_point> SlicePool::release_expired() noexcept {
  const std::lock_guard lock(mutex_);
  const Clock::time_point now = now_();
  std::optional<Clock::time_point> due;
  const auto later = [&](Clock::time_point since) {
    if (!due || since + kKeepFor < *due) due = since + kKeepFor;
  };
  for (const auto& chunk : chunks_) {
    for (auto& [start, freed] : chunk->freed) {
      if (freed.given_back) continue;
      if (freed.since + kKeepFor > now) {
        later(freed.since);
        continue;
      }
      give_back(chunk->base + start, freed.end - start);
      freed.given_back = true;
    }
    if (chunk->high <= chunk->top) continue;
    if (chunk->topped + kKeepFor > now) {
      later(chunk->topped);
      continue;
    }
    give_back(chunk->base + chunk->top, chunk->high - chunk->top);
    chunk->high = chunk->top;
  }
  return due;
}

std::size_t SlicePool::chunk_bytes() const {
  const std::lock_guard lock(mutex_);
  std::size_t bytes = 0;
  for (const auto& chunk : chunks_) bytes += chunk->bytes;
  return bytes;
}

}  // namespace qel::array_memory
#endif
