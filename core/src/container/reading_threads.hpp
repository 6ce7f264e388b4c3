#pragma once

namespace qel::reading_threads {

// The processors this process may run on.
unsigned processors() noexcept;

// Held for the whole of a load from a file: the loads in progress, with the
// helpers they started, are the threads that read, and a helper is started
// only for a processor none of them uses.
class Reader {
 public:
  Reader() noexcept;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;
};

// Takes a processor for one read-ahead helper; false when the readers and
// their helpers already use every processor. Each true is given back by
// release_helper().
bool claim_helper() noexcept;
void release_helper() noexcept;

// More readers and helpers than processors: a helper should stop.
bool crowded() noexcept;

}  // namespace qel::reading_threads
