#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "memory/mapping_cache.hpp"
#include "qel/array_memory.hpp"

namespace qel::array_memory {

// Arrays carved one after another out of large mappings ("chunks"), so that
// arrays filled one at a time, such as the channels of a loaded file or the
// arrays samples() returns, lie side by side in huge pages instead of each
// faulting in small pages of its own, and the last array of a chunk grows in
// place. Chunks come from the mapping cache (pages already faulted in) or are
// mapped anew; a chunk whose arrays are all freed goes back to the cache.
//
// New arrays go to one of a few lanes, each carving its own chunk: the lane
// touched least recently, so that arrays filled in step (the timestamps and
// values of one channel, or the channels of loads in two threads) each end
// their lane and keep growing in place. A lane whose last array was shrunk
// or freed is taken first: that array is done growing.
//
// The pages of an array freed while others of its chunk live on stay for
// reuse until kKeepFor has passed, as those of the cache do; a chunk is
// given back whole as soon as its last array is freed.
class SlicePool {
 public:
  // Arrays start at page boundaries, so that freed ones give back whole
  // pages and any one can be moved out by remapping its pages.
  static constexpr std::size_t kPage = 4096;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  static SlicePool& shared();

  // `chunk_bytes`: how much address space a new chunk reserves.
  SlicePool(MappingCache& cache, std::size_t chunk_bytes, MappingCache::Now now = Clock::now,
            MappingCache::Wake wake = {});
  ~SlicePool();
  SlicePool(const SlicePool&) = delete;
  SlicePool& operator=(const SlicePool&) = delete;

  // A new array of at least `bytes`. Throws std::bad_alloc.
  Block allocate(std::size_t bytes);
  // `block` grown to at least `bytes` where it lies, when it ends its chunk
  // and the chunk has room; nothing otherwise.
  std::optional<Block> grow_in_place(const Block& block, std::size_t bytes);
  // `block` as a mapping of its own of at least `bytes`, its pages moved
  // rather than copied; nothing when it does not end its chunk or the
  // kernel refuses.
  std::optional<Block> move_out(const Block& block, std::size_t bytes);
  // `block` without the pages beyond `used`, where they can be reused.
  Block shrink(const Block& block, std::size_t used) noexcept;
  // Frees an array; its pages stay for reuse a while.
  void release(const Block& block) noexcept;
  // Frees an array whose contents were moved elsewhere; its pages go now.
  void discard(const Block& block) noexcept;

  // Gives back the pages of arrays freed kKeepFor ago; when the next are due.
  std::optional<Clock::time_point> release_expired() noexcept;

  // Bytes of address space in chunks that hold arrays or are being carved.
  std::size_t chunk_bytes() const;

 private:
  struct Freed {
    std::size_t end;
    Clock::time_point since;
    bool given_back;  // its pages went already
  };
  struct Chunk {
    std::uint8_t* base;
    std::size_t bytes;
    std::size_t top = 0;         // where the next array starts
    std::size_t high = 0;        // pages up to here may be resident
    Clock::time_point topped{};  // when `top` last fell below `high`
    std::size_t live = 0;        // arrays not yet freed
    int lane = -1;               // the lane carving it, or -1
    // Freed arrays below `top`, by start, neighbours merged.
    std::map<std::size_t, Freed> freed;
  };
  struct Lane {
    Chunk* chunk = nullptr;
    std::uint64_t touched = 0;
    bool settled = true;  // its last array is done growing, or there is none
  };
  static constexpr std::size_t kLanes = 8;

  static Chunk& chunk_of(const Block& block) noexcept { return *static_cast<Chunk*>(block.chunk); }
  static std::size_t offset_of(const Block& block) noexcept;
  Lane& pick_lane(std::size_t bytes) noexcept;
  void touch(Chunk& chunk, bool settled) noexcept;
  std::unique_ptr<Chunk> new_chunk(std::size_t bytes);
  // Frees one array; a chunk left without any is retired: what goes to the
  // cache then.
  std::optional<Block> free_array(const Block& block, bool keep_pages) noexcept;
  // Frees [start, end) of a chunk that keeps live arrays.
  void free_range(Chunk& chunk, std::size_t start, std::size_t end, bool keep_pages) noexcept;
  // Drops `chunk` from its lane and from the pool; what of it to keep.
  std::optional<Block> retire(Chunk& chunk) noexcept;

  MappingCache& cache_;
  const std::size_t chunk_bytes_;
  const MappingCache::Now now_;
  const MappingCache::Wake wake_;
  mutable std::mutex mutex_;
  std::array<Lane, kLanes> lanes_;
  std::uint64_t tick_ = 0;
  std::vector<std::unique_ptr<Chunk>> chunks_;
};

}  // namespace qel::array_memory
