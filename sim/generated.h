// The frames of the simulated device's load generator. Frame n is fully
// determined by n, so a listing can be checked for loss, duplication and
// order: standard identifiers, every fourth one extended, lengths 0 to 8, and
// n little-endian in the data bytes.
#pragma once

#include <cstdint>

#include "zelbor.h"

namespace zelbor::sim {

inline RawCanMessage generated_frame(uint64_t n) {
  RawCanMessage frame{};
  frame.length = static_cast<int8_t>(n % 9);
  frame.id = n % 4 == 3 ? (RAW_CAN_EXTENDED_FLAG | static_cast<uint32_t>(n & 0x1FFFFFFF))
                        : static_cast<uint32_t>(n & 0x7FF);
  for (int i = 0; i < frame.length; ++i) {
    frame.data[i] = static_cast<uint8_t>(n >> (8 * i));
  }
  return frame;
}

}  // namespace zelbor::sim
