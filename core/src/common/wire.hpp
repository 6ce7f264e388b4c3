#pragma once

// The numbers of the file format that both the reading and the writing side
// use: block kinds, the markers of the block area, and the sizes of block
// heads.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qel::wire {

// The identifier that starts the header line of a version-5 file.
inline constexpr std::string_view kVersion5 = "QEL5";
inline constexpr std::string_view kVersion4 = "QEL4";
// The "format" member of a version-5 metablock.
inline constexpr std::string_view kMetablockFormat5 = "qel5";

// Block kinds: the control byte without the multi-sample flag.
inline constexpr std::uint8_t kTrustedTimestamp = 1;
inline constexpr std::uint8_t kStatusEvent = 3;
inline constexpr std::uint8_t kMessageEvent = 4;
inline constexpr std::uint8_t kContinuedData = 5;
inline constexpr std::uint8_t kStartData = 6;
inline constexpr std::uint8_t kContinuedRelStampData = 7;
inline constexpr std::uint8_t kAbsTimeStampData = 8;

// The control byte's flag for a block with a sample count, and its kind bits.
inline constexpr std::uint8_t kMultiSample = 0x80;
inline constexpr std::uint8_t kKindMask = 0x7F;

// Channel indices that stand for records of the block area instead.
inline constexpr std::uint16_t kTrailerMarker = 0xFFFF;
// Only in files with integrity data.
inline constexpr std::uint16_t kSignatureMarker = 0xFFFE;

// The fixed tail after the trailer's payload, and the text it starts with.
inline constexpr std::size_t kTailBytes = 40;
inline constexpr std::string_view kTailMagic = "QEL_STREAM_END";

// Heads of block payloads, before their values.
// Control byte and count: bcContinuedData and bcAbsTimeStampData with a count.
inline constexpr std::size_t kCountedHeadBytes = 5;
// Control byte, start timestamp, sample rate and count: bcStartData with a count.
inline constexpr std::size_t kStartRunHeadBytes = 21;
// Control byte and timestamp: a string or binary sample.
inline constexpr std::size_t kVariableHeadBytes = 9;

}  // namespace qel::wire
