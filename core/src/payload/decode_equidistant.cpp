#include "common/byte_order.hpp"
#include "payload/payload_common.hpp"

namespace qel {

using payload_detail::payload_error;
using payload_detail::read_count;

Result<NumericRun> read_numeric_n(PayloadCursor& cursor, const DataType& type, std::uint64_t n) {
  if (!type.is_numeric()) {
    return payload_error(
        "equidistant blocks (bcStartData / bcContinuedData) only support numeric datatypes; got " +
        type.display_name());
  }
  const std::size_t width = *type.fixed_size();
  if (cursor.remaining() / width < n) {
    return payload_error("numeric run: failed to fill whole buffer");
  }
  const NumericRun run{type.id(), cursor.here(), static_cast<std::size_t>(n)};
  cursor.advance(run.count * width);
  return run;
}

Result<NumericPayload> parse_start_data(std::span<const std::uint8_t> payload, const DataType& type,
                                        bool multi_sample) {
  PayloadCursor cursor(payload);
  if (cursor.remaining() < 8)
    return payload_error("StartData timestamp: failed to fill whole buffer");
  const auto start = load_le<std::int64_t>(cursor.here());
  cursor.advance(8);
  if (cursor.remaining() < 8) {
    return payload_error("StartData sample rate: failed to fill whole buffer");
  }
  const auto rate = load_le<double>(cursor.here());
  cursor.advance(8);
  QEL_ASSIGN_OR_RETURN(const std::uint32_t n,
                       read_count(cursor, multi_sample, payload_detail::kMultiSampleN));
  QEL_ASSIGN_OR_RETURN(const NumericRun values, read_numeric_n(cursor, type, n));
  return NumericPayload{start, rate, values};
}

Result<NumericRun> parse_continued_data(std::span<const std::uint8_t> payload, const DataType& type,
                                        bool multi_sample) {
  PayloadCursor cursor(payload);
  QEL_ASSIGN_OR_RETURN(const std::uint32_t n,
                       read_count(cursor, multi_sample, payload_detail::kMultiSampleN));
  return read_numeric_n(cursor, type, n);
}

}  // namespace qel
