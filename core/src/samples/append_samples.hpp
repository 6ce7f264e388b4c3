#pragma once

#include <cstdint>

#include "payload/block.hpp"
#include "qel/cow_array.hpp"
#include "qel/data_channel.hpp"

namespace qel {

// Bulk copies of decoded block views into channel arrays. Each dispatches on
// the array's element type once per block; `values` must be the variant of the
// view's type.

void append_run(NumericValues& values, const NumericRun& run);

// Splits interleaved (timestamp, value) records into the two arrays.
void append_records(CowArray<std::int64_t>& timestamps, NumericValues& values,
                    const TimestampedRecords& records);

// Rebuilds timestamps as a running sum of the deltas from `anchor`, saturating
// at the largest i64; returns the last timestamp.
std::int64_t append_rel_records(CowArray<std::int64_t>& timestamps, NumericValues& values,
                                const RelTimestampedPayload& records, std::int64_t anchor);

void append_variable(VariableChannel& channel, const VariableRecords& records);

}  // namespace qel
