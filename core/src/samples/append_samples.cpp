#include "samples/append_samples.hpp"

#include <bit>
#include <type_traits>

#include "common/byte_order.hpp"
#include "common/saturating.hpp"
#include "qel/array_memory.hpp"
#include "samples/split_records.hpp"

namespace qel {
namespace {

// Copies `n` little-endian wire values into `out`.
template <class T>
void copy_values(T* out, const std::uint8_t* in, std::size_t n) noexcept {
  if constexpr (std::is_same_v<T, bool>) {
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i] != 0;
  } else if constexpr (std::is_same_v<T, GpsPoint>) {
    for (std::size_t i = 0; i < n; ++i, in += sizeof(GpsPoint)) {
      out[i] = {load_le<double>(in), load_le<double>(in + 8), load_le<double>(in + 16)};
    }
  } else if constexpr (std::endian::native == std::endian::little) {
    array_memory::fill(out, in, n * sizeof(T));
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = load_le<T>(in + i * sizeof(T));
  }
}

// Values whose wire bytes are their memory layout, of the widths the
// column splitter handles.
template <class T>
constexpr bool kSplitsAsColumns =
    std::endian::native == std::endian::little&& std::is_arithmetic_v<T> &&
    !std::is_same_v<T, bool> && (sizeof(T) == 4 || sizeof(T) == 8);

}  // namespace

void append_run(NumericValues& values, const NumericRun& run) {
  std::visit([&](auto& array) { copy_values(array.extend(run.count), run.bytes, run.count); },
             values);
}

void append_records(CowArray<std::int64_t>& timestamps, NumericValues& values,
                    const TimestampedRecords& records) {
  std::visit(
      [&](auto& array) {
        using T = std::remove_pointer_t<decltype(array.extend(0))>;
        constexpr std::size_t kStride = 8 + sizeof(T);
        // A local count: the stores below could alias `records` otherwise.
        const std::size_t count = records.count;
        std::int64_t* times = timestamps.extend(count);
        T* out = array.extend(count);
        const std::uint8_t* in = records.bytes;
        if constexpr (!kSplitsAsColumns<T>) {
          for (std::size_t i = 0; i < count; ++i, in += kStride) {
            times[i] = load_le<std::int64_t>(in);
            copy_values(out + i, in + 8, 1);
          }
        } else {
          split_records<sizeof(T)>(in, count, times, out);
        }
      },
      values);
}

std::int64_t append_rel_records(CowArray<std::int64_t>& timestamps, NumericValues& values,
                                const RelTimestampedPayload& records, std::int64_t anchor) {
  std::visit(
      [&](auto& array) {
        using T = std::remove_pointer_t<decltype(array.extend(0))>;
        constexpr std::size_t kStride = 4 + sizeof(T);
        std::int64_t* times = timestamps.extend(records.count);
        T* out = array.extend(records.count);
        const std::uint8_t* in = records.bytes;
        for (std::size_t i = 0; i < records.count; ++i, in += kStride) {
          anchor = saturating_add(anchor, load_le<std::uint32_t>(in));
          times[i] = anchor;
          copy_values(out + i, in + 4, 1);
        }
      },
      values);
  return anchor;
}

void append_variable(VariableChannel& channel, const VariableRecords& records) {
  ByteStringList& list = channel.strings ? *channel.strings : *channel.binaries;
  std::int64_t* times = channel.timestamps.extend(records.count);
  const std::uint8_t* record = records.bytes;
  for (std::size_t i = 0; i < records.count; ++i, record += records.stride) {
    times[i] = load_le<std::int64_t>(record);
    list.append({record + records.value_offset, records.value_size});
  }
}

}  // namespace qel
