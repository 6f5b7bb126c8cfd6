// The reader's listing line for one frame.
//
// Format: time in seconds with four decimals, two spaces, the identifier in
// its standard or extended form, a colon and a space, then "$XX " per data
// byte, then a newline. The time is bits 5 to 36 of the 64-bit time count
// divided by 1,000,000 in single precision, so it wraps after 4294.9673 s.
//
//   16.0000  STD-CAN-ID $3E8: $01 $FF \n      id 0x3E8, data 01 FF, count 0x1E848000
//   0.0000  EXT-CAN-ID $00001ABC: \n          id 0x80001ABC, length 0, count 0
//   134.2177  STD-CAN-ID $005: $00 \n         time_high 1, time_low 0
//   4000.0000  STD-CAN-ID $7FF: \n            time_high 0x1D, time_low 0xCD650C80
//
// A length of 0 or less (the byte is signed) prints no data bytes; a length
// above 8 prints the 8 bytes the frame holds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelbor.h"

namespace rawcan {

// Longest line: "4294.9673  EXT-CAN-ID $7FFFFFFF: " plus eight "$XX " and "\n".
inline constexpr std::size_t kMaxFrameLineLength = 66;

// The listed time in seconds: (count >> 5) modulo 2^32, over 1e6, in float.
float frame_seconds(const RawCanMessage& frame);

// Writes the line (no terminating NUL) into `out`, which holds at least
// kMaxFrameLineLength bytes, and returns its length. Produces exactly the
// bytes of printf("%1.4f  STD-CAN-ID $%03X: ") etc., without calling printf.
std::size_t format_frame_line(const RawCanMessage& frame, char* out);

}  // namespace rawcan
