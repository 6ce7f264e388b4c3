#include "payload/block.hpp"

#include "common/byte_order.hpp"

namespace qel {

std::int64_t VariableRecords::timestamp(std::size_t i) const noexcept {
  return load_le<std::int64_t>(bytes + i * stride);
}

std::size_t sample_count(const BlockKind& block) noexcept {
  struct Count {
    std::size_t operator()(const StartData& b) const noexcept { return b.payload.values.count; }
    std::size_t operator()(const ContinuedData& b) const noexcept { return b.values.count; }
    std::size_t operator()(const AbsTimestamped& b) const noexcept {
      return sample_count(b.payload);
    }
    std::size_t operator()(const RelTimestamped& b) const noexcept { return b.payload.count; }
    std::size_t operator()(const Skipped&) const noexcept { return 0; }
  };
  return std::visit(Count{}, block);
}

}  // namespace qel
