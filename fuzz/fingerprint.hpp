#pragma once
// Shared checks of the load targets.
#include <cstdint>
#include <span>
#include <string>

#include "qel/manager.hpp"

namespace qel::fuzz {

// Everything a load delivers that a save must keep: per channel its name,
// type, descriptive texts, samples, timestamps and segments.
std::string fingerprint(const DataManager& manager);

// The outcome of loading `bytes` from memory: the fingerprint, or the error text.
std::string load_outcome(std::span<const std::uint8_t> bytes);

// Saves a loaded manager and loads the file again; traps when a save that
// succeeded does not load back to the same fingerprint.
void check_save_round_trip(const DataManager& manager);

}  // namespace qel::fuzz
