#pragma once

#include "qel/error.hpp"
#include "qel/stats.hpp"

namespace qel {

// Refuses a block area that was cut off, has CRC failures or skipped blocks.
Status check_strict(const ReaderStats& stats);

}  // namespace qel
