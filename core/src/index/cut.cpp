#include "index/cut.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <variant>

namespace qel {
namespace {

template <class T>
CowArray<T> gather(const CowArray<T>& from, std::span<const SampleRun> runs) {
  std::uint64_t total = 0;
  for (const SampleRun& run : runs) total += run.end - run.begin;
  CowArray<T> out;
  if (total == 0) return out;
  T* next = out.extend(total);
  for (const SampleRun& run : runs) {
    const std::size_t count = run.end - run.begin;
    std::memcpy(next, from.data() + run.begin, count * sizeof(T));
    next += count;
  }
  return out;
}

NumericValues gather(const NumericValues& from, std::span<const SampleRun> runs) {
  return std::visit([runs](const auto& array) -> NumericValues { return gather(array, runs); },
                    from);
}

std::optional<ByteStringList> gather(const std::optional<ByteStringList>& from,
                                     std::span<const SampleRun> runs) {
  if (!from) return std::nullopt;
  ByteStringList out;
  for (const SampleRun& run : runs) {
    for (std::uint64_t i = run.begin; i < run.end; ++i) out.append((*from)[i]);
  }
  return out;
}

Channel with_storage(const Channel& channel, ChannelStorage storage) {
  return Channel{.index = channel.index,
                 .name = channel.name,
                 .data_type = channel.data_type,
                 .meta = channel.meta,
                 .storage = std::move(storage)};
}

// The kept samples of an equidistant channel, one segment per kept run.
struct EquidistantCut {
  std::vector<SampleRun> runs;
  std::vector<Segment> segments;
  std::vector<SegmentOrigin> origins;

  // Keeps samples [j0, j1) of a segment.
  void keep(const Segment& segment, const SegmentOrigin& origin, std::uint64_t j0,
            std::uint64_t j1) {
    if (j0 >= j1) return;
    const SegmentOrigin at{origin.start_ns, origin.first + j0};
    const std::uint64_t offset =
        segments.empty() ? 0 : segments.back().offset + segments.back().sample_count;
    segments.push_back(Segment{sample_time(at.start_ns, segment.sample_rate_hz, at.first),
                               segment.sample_rate_hz, offset, j1 - j0});
    origins.push_back(at);
    runs.push_back({segment.offset + j0, segment.offset + j1});
  }

  ChannelPiece apply(const Channel& channel, const EquidistantStorage& storage) {
    EquidistantStorage out{.values = gather(storage.values, runs), .segments = std::move(segments)};
    return ChannelPiece{with_storage(channel, std::move(out)), std::move(origins)};
  }
};

// The first k in [0, count) whose time is not before `bound`; a run's times
// never decrease.
std::uint64_t first_not_before(const Segment& segment, const SegmentOrigin& origin,
                               std::int64_t bound) {
  std::uint64_t low = 0;
  std::uint64_t high = segment.sample_count;
  while (low < high) {
    const std::uint64_t mid = low + (high - low) / 2;
    if (sample_time(origin.start_ns, segment.sample_rate_hz, origin.first + mid) < bound) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

ChannelPiece cut_equidistant(const ChannelPiece& piece, const EquidistantStorage& storage,
                             const TimeWindow& window) {
  EquidistantCut cut;
  for (std::size_t i = 0; i < storage.segments.size(); ++i) {
    const Segment& segment = storage.segments[i];
    const SegmentOrigin& origin = piece.origins[i];
    const std::uint64_t j0 =
        window.start_ns ? first_not_before(segment, origin, *window.start_ns) : 0;
    const std::uint64_t j1 =
        window.stop_ns ? first_not_before(segment, origin, *window.stop_ns) : segment.sample_count;
    cut.keep(segment, origin, j0, j1);
  }
  return cut.apply(piece.channel, storage);
}

std::vector<SampleRun> runs_within(std::span<const std::int64_t> times, const TimeWindow& window) {
  std::vector<SampleRun> runs;
  for (std::uint64_t i = 0; i < times.size(); ++i) {
    if (!window.holds(times[i])) continue;
    if (!runs.empty() && runs.back().end == i) {
      ++runs.back().end;
    } else {
      runs.push_back({i, i + 1});
    }
  }
  return runs;
}

// Timestamped and variable channels keep the samples of `runs`.
struct GatherRuns {
  const Channel& channel;
  std::span<const SampleRun> runs;

  Channel operator()(const TimestampedStorage& storage) const {
    return with_storage(channel, TimestampedStorage{.timestamps = gather(storage.timestamps, runs),
                                                    .values = gather(storage.values, runs)});
  }
  Channel operator()(const VariableChannel& storage) const {
    return with_storage(channel, VariableChannel{.timestamps = gather(storage.timestamps, runs),
                                                 .strings = gather(storage.strings, runs),
                                                 .binaries = gather(storage.binaries, runs)});
  }
  Channel operator()(const EquidistantStorage&) const { return channel; }
};

const CowArray<std::int64_t>* timestamps_of(const ChannelStorage& storage) noexcept {
  if (const auto* timestamped = std::get_if<TimestampedStorage>(&storage)) {
    return &timestamped->timestamps;
  }
  if (const auto* variable = std::get_if<VariableChannel>(&storage)) return &variable->timestamps;
  return nullptr;
}

}  // namespace

ChannelPiece whole_piece(Channel channel) {
  std::vector<SegmentOrigin> origins;
  if (const auto* storage = std::get_if<EquidistantStorage>(&channel.storage)) {
    origins.reserve(storage->segments.size());
    for (const Segment& segment : storage->segments) {
      origins.push_back({segment.start_timestamp_ns, 0});
    }
  }
  return ChannelPiece{std::move(channel), std::move(origins)};
}

ChannelPiece cut_to_window(ChannelPiece piece, const TimeWindow& window) {
  if (window.unbounded()) return piece;
  if (const auto* storage = std::get_if<EquidistantStorage>(&piece.channel.storage)) {
    return cut_equidistant(piece, *storage, window);
  }
  const CowArray<std::int64_t>& times = *timestamps_of(piece.channel.storage);
  const std::vector<SampleRun> runs = runs_within(times.view(), window);
  if (runs.size() == 1 && runs.front().begin == 0 && runs.front().end == times.size()) return piece;
  return {std::visit(GatherRuns{piece.channel, runs}, piece.channel.storage), {}};
}

ChannelPiece slice(const ChannelPiece& piece, SampleRun run) {
  run.end = std::min(run.end, piece.channel.sample_count());
  run.begin = std::min(run.begin, run.end);
  if (const auto* storage = std::get_if<EquidistantStorage>(&piece.channel.storage)) {
    EquidistantCut cut;
    for (std::size_t i = 0; i < storage->segments.size(); ++i) {
      const Segment& segment = storage->segments[i];
      const std::uint64_t end = segment.offset + segment.sample_count;
      const std::uint64_t j0 = std::max(run.begin, segment.offset) - segment.offset;
      const std::uint64_t j1 = std::max(std::min(run.end, end), segment.offset) - segment.offset;
      cut.keep(segment, piece.origins[i], j0, j1);
    }
    return cut.apply(piece.channel, *storage);
  }
  const SampleRun runs[] = {run};
  return {std::visit(GatherRuns{piece.channel, runs}, piece.channel.storage), {}};
}

void fill_original_times(const ChannelPiece& piece, std::span<std::int64_t> out) noexcept {
  if (const auto* times = timestamps_of(piece.channel.storage)) {
    std::ranges::copy(times->view(), out.begin());
    return;
  }
  const auto& segments = std::get<EquidistantStorage>(piece.channel.storage).segments;
  std::int64_t* next = out.data();
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const SegmentOrigin& origin = piece.origins[i];
    for (std::uint64_t k = 0; k < segments[i].sample_count; ++k) {
      *next++ = sample_time(origin.start_ns, segments[i].sample_rate_hz, origin.first + k);
    }
  }
}

}  // namespace qel
