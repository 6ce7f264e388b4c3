#include "index/plan.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "common/wire.hpp"
#include "container/buffered_input.hpp"
#include "container/reader.hpp"
#include "index/cut.hpp"
#include "samples/load_steps.hpp"

namespace qel {
namespace {

template <class T>
void put_le(std::vector<std::uint8_t>& out, T value) {
  std::uint8_t raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(raw, raw + sizeof(T));
  out.insert(out.end(), raw, raw + sizeof(T));
}

// A frame of `payload` for the channel, as a writer would frame it.
std::vector<std::uint8_t> frame_of(std::uint16_t index, std::uint8_t width,
                                   IntegrityProfile integrity,
                                   const std::vector<std::uint8_t>& payload) {
  const std::size_t crc_bytes = integrity == IntegrityProfile::none ? 0 : 4;
  const auto length = static_cast<std::uint32_t>(payload.size() + crc_bytes);
  std::vector<std::uint8_t> frame;
  put_le(frame, index);
  if (width == 2) {
    put_le(frame, static_cast<std::uint16_t>(length));
  } else {
    put_le(frame, length);
  }
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (crc_bytes != 0) put_le(frame, crc32c(frame));
  return frame;
}

// Frames that put a builder in the state `resume` describes: an empty run
// with the run's start and rate (its samples then need their origin), or one
// sample at the anchor (dropped afterwards).
std::vector<std::uint8_t> resume_frame(const Channel& info, std::uint8_t width,
                                       IntegrityProfile integrity, const Resume& resume) {
  std::vector<std::uint8_t> payload;
  if (resume.run) {
    payload.push_back(wire::kStartData | wire::kMultiSample);
    put_le(payload, resume.run->start_ns);
    put_le(payload, resume.run->rate_hz);
    put_le(payload, std::uint32_t{0});
  } else {
    payload.push_back(wire::kAbsTimeStampData | wire::kMultiSample);
    put_le(payload, std::uint32_t{1});
    put_le(payload, *resume.anchor);
    payload.resize(payload.size() + info.data_type.fixed_size().value_or(8));
  }
  return frame_of(info.index, width, integrity, payload);
}

struct Placed {
  std::uint64_t offset;
  int order;  // a made-up frame comes before the block it resumes
  PlanItem item;
};

std::vector<PlanItem> items_of(std::span<const ChannelPlan> plans, IntegrityProfile integrity) {
  std::vector<Placed> placed;
  for (const ChannelPlan& plan : plans) {
    for (const Step& step : plan.steps) {
      const BlockEntry& block = plan.blocks->blocks[step.block];
      if (step.resume) {
        auto bytes = std::make_shared<const std::vector<std::uint8_t>>(
            resume_frame(*plan.info, plan.blocks->length_width, integrity, *step.resume));
        placed.push_back({block.offset, 0, PlanItem{0, bytes->size(), std::move(bytes)}});
      }
      placed.push_back(
          {block.offset, 1, PlanItem{block.offset, plan.blocks->frame_bytes(block), {}}});
    }
  }
  std::ranges::sort(placed, [](const Placed& a, const Placed& b) {
    return a.offset != b.offset ? a.offset < b.offset : a.order < b.order;
  });
  std::vector<PlanItem> items;
  items.reserve(placed.size());
  for (Placed& p : placed) {
    // Neighbouring blocks are read as one range.
    if (!p.item.bytes && !items.empty() && !items.back().bytes &&
        items.back().offset + items.back().size == p.item.offset) {
      items.back().size += p.item.size;
      continue;
    }
    items.push_back(std::move(p.item));
  }
  return items;
}

MetaBlock meta_for(const MetaBlock& meta, std::span<const ChannelPlan> plans) {
  MetaBlock out;
  out.format_version = meta.format_version;
  for (const meta::Channel& channel : meta.channels) {
    if (std::ranges::any_of(plans,
                            [&](const ChannelPlan& p) { return p.info->index == channel.index; })) {
      out.channels.push_back(channel);
    }
  }
  return out;
}

// The piece of a channel read after `plan`: runs that were resumed get their
// origin, and samples that only set the state are dropped.
ChannelPiece piece_of(Channel channel, const ChannelPlan& plan) {
  // Runs begin at resumed steps and at starting blocks, in order.
  std::vector<std::optional<Resume::Run>> runs;
  bool drop_first = false;
  for (const Step& step : plan.steps) {
    if (step.resume && step.resume->run) runs.push_back(step.resume->run);
    if (step.resume && step.resume->anchor) drop_first = true;
    if (plan.blocks->blocks[step.block].kind() == wire::kStartData) runs.emplace_back();
  }
  ChannelPiece piece = whole_piece(std::move(channel));
  auto* storage = std::get_if<EquidistantStorage>(&piece.channel.storage);
  if (storage != nullptr) {
    std::vector<Segment> segments;
    std::vector<SegmentOrigin> origins;
    for (std::size_t i = 0; i < storage->segments.size(); ++i) {
      Segment segment = storage->segments[i];
      SegmentOrigin origin = piece.origins[i];
      if (i < runs.size() && runs[i]) {
        if (segment.sample_count == 0) continue;
        origin = {runs[i]->start_ns, runs[i]->first};
        segment.start_timestamp_ns =
            sample_time(origin.start_ns, segment.sample_rate_hz, origin.first);
      }
      segments.push_back(segment);
      origins.push_back(origin);
    }
    storage->segments = std::move(segments);
    piece.origins = std::move(origins);
  }
  if (drop_first) piece = slice(piece, {1, piece.channel.sample_count()});
  return piece;
}

Carry carry_of(const ChannelPiece& piece, std::optional<std::int64_t> anchor) {
  Carry carry{.run = std::nullopt, .anchor = anchor};
  if (const auto* storage = std::get_if<EquidistantStorage>(&piece.channel.storage);
      storage != nullptr && !storage->segments.empty()) {
    const Segment& last = storage->segments.back();
    const SegmentOrigin& origin = piece.origins.back();
    carry.run = Resume::Run{origin.start_ns, last.sample_rate_hz, origin.first + last.sample_count};
  }
  return carry;
}

}  // namespace

std::vector<Step> every_step(const ChannelBlocks& blocks) {
  std::vector<Step> steps(blocks.blocks.size());
  for (std::size_t i = 0; i < steps.size(); ++i) steps[i].block = static_cast<std::uint32_t>(i);
  return steps;
}

std::vector<Step> steps_for(const ChannelBlocks& blocks, bool runs_trusted,
                            const TimeWindow& window) {
  if (window.unbounded() || !blocks.equidistant || !runs_trusted) return every_step(blocks);
  std::vector<Step> steps;
  bool previous_taken = false;
  for (std::size_t i = 0; i < blocks.blocks.size(); ++i) {
    const BlockEntry& block = blocks.blocks[i];
    const RunStart& run = blocks.runs[block.run];
    const bool taken =
        block.count > 0 &&
        (!window.start_ns || sample_time(run.start_ns, run.rate_hz,
                                         block.first + block.count - 1) >= *window.start_ns) &&
        (!window.stop_ns || sample_time(run.start_ns, run.rate_hz, block.first) < *window.stop_ns);
    if (taken) {
      Step step{static_cast<std::uint32_t>(i), std::nullopt};
      if (!previous_taken && block.kind() == wire::kContinuedData) {
        step.resume = Resume{Resume::Run{run.start_ns, run.rate_hz, block.first}, std::nullopt};
      }
      steps.push_back(step);
    }
    previous_taken = taken;
  }
  return steps;
}

Result<std::vector<ChannelPiece>> read_plans(const ReadContext& context,
                                             std::span<const ChannelPlan> plans,
                                             std::vector<Carry>* carry) {
  const MetaBlock meta = meta_for(context.meta, plans);
  auto stream = std::make_unique<PlanStream>(context.source, items_of(plans, context.integrity));
  BlockReader reader(BufferedInput(std::move(stream)), meta);
  reader.set_integrity(context.integrity);
  Builders builders = make_builders(meta);
  PlacedIntoBuilders target(builders);
  reader.set_placed_target(&target);
  QEL_TRY(read_blocks(reader, builders));
  std::vector<ChannelPiece> pieces;
  pieces.reserve(plans.size());
  if (carry != nullptr) carry->clear();
  for (const ChannelPlan& plan : plans) {
    ChannelBuilder& builder = builders.by_index.at(plan.info->index);
    const std::optional<std::int64_t> anchor = builder.anchor();
    std::optional<Channel> channel = std::move(builder).finalize();
    pieces.push_back(piece_of(std::move(*channel), plan));
    if (carry != nullptr) carry->push_back(carry_of(pieces.back(), anchor));
  }
  return pieces;
}

}  // namespace qel
