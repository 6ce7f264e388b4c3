// An opened file against the load of the same bytes from a file: whatever
// loads opens, reads back the same channels, and gives every window and
// every chunking of a channel as the loaded channel's slices; whatever the
// open accepts but the load refuses fails its read with the load's error.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fingerprint.hpp"
#include "qel/file.hpp"
#include "qel/manager.hpp"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

std::vector<std::int64_t> loaded_times(const qel::Channel& channel) {
  std::vector<std::int64_t> times(channel.sample_count());
  if (const auto* e = std::get_if<qel::EquidistantStorage>(&channel.storage)) {
    qel::fill_sample_times(e->segments, times);
  } else if (const auto* t = std::get_if<qel::TimestampedStorage>(&channel.storage)) {
    std::ranges::copy(t->timestamps.view(), times.begin());
  } else {
    std::ranges::copy(std::get<qel::VariableChannel>(channel.storage).timestamps.view(),
                      times.begin());
  }
  return times;
}

std::vector<std::int64_t> piece_times(const qel::ChannelPiece& piece) {
  std::vector<std::int64_t> times(piece.channel.sample_count());
  qel::fill_original_times(piece, times);
  return times;
}

std::string one_channel(const qel::Channel& channel) {
  return std::to_string(channel.index) + std::string(channel.storage_kind()) +
         qel::fuzz::fingerprint(qel::DataManager::from_parts({}, {channel}, {}));
}

// A window from a third to two thirds of the channel's times, and its chunks.
void check_window(const qel::File& file, const qel::Channel& info, const qel::Channel& whole) {
  const std::vector<std::int64_t> times = loaded_times(whole);
  if (times.empty()) return;
  std::vector<std::int64_t> sorted = times;
  std::ranges::sort(sorted);
  const std::int64_t last = sorted[2 * sorted.size() / 3];
  const qel::TimeWindow window{sorted[sorted.size() / 3],
                               last == INT64_MAX ? std::nullopt : std::optional(last + 1)};
  std::vector<std::int64_t> expected;
  std::ranges::copy_if(times, std::back_inserter(expected),
                       [&](std::int64_t t) { return window.holds(t); });
  const auto cut = file.read_channel(info, window);
  check(cut.has_value());
  check(piece_times(*cut) == expected);

  auto cursor = file.chunks(info, 3, window);
  check(cursor.has_value());
  std::vector<std::int64_t> joined;
  for (;;) {
    auto piece = (*cursor)->next();
    check(piece.has_value());
    if (!*piece) break;
    const std::vector<std::int64_t> part = piece_times(**piece);
    check(!part.empty() && part.size() <= 3);
    joined.insert(joined.end(), part.begin(), part.end());
  }
  check(joined == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = "/dev/shm/qel-fuzz-open-" + std::to_string(::getpid()) + ".qel";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  const auto loaded = qel::DataManager::load_from_file(path);
  const auto opened = qel::File::open(path);
  if (!loaded) {
    // Refused at the open for what the heads show, or at the read that
    // reaches the block.
    if (opened) {
      const auto read = (*opened)->read(std::nullopt);
      check(!read && read.error().message() == loaded.error().message());
    }
  } else {
    check(opened.has_value());
    const qel::File& file = **opened;
    const auto all = file.read(std::nullopt);
    check(all && qel::fuzz::fingerprint(*all) == qel::fuzz::fingerprint(*loaded));
    check(file.channels().size() == loaded->channels().size());
    for (const qel::Channel& whole : loaded->channels()) {
      const qel::Channel* info = file.channel_info_by_index(whole.index);
      check(info != nullptr);
      const auto read = file.read_channel(*info);
      check(read && one_channel(read->channel) == one_channel(whole));
      check_window(file, *info, whole);
    }
  }
  ::unlink(path.c_str());
  return 0;
}
