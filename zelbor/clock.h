// Time and random ids for the link and the simulated device.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>

namespace zelbor {

inline int64_t monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The wall clock, in nanoseconds since the epoch.
inline int64_t realtime_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A random non-zero id from the system's randomness (getrandom, rand_s);
// falls back on the clock and a stack address should there be none.
inline uint32_t random_nonzero_u32() {
  uint32_t value = 0;
  try {
    std::random_device system_randomness;
    value = system_randomness();
  } catch (...) {
    const auto here = reinterpret_cast<uintptr_t>(&value);
    value = static_cast<uint32_t>(monotonic_ns()) ^ static_cast<uint32_t>(here >> 4);
  }
  return value == 0 ? 1 : value;
}

// A random seed of 64 bits, from two ids.
inline uint64_t random_seed() {
  return (uint64_t{random_nonzero_u32()} << 32) | random_nonzero_u32();
}

}  // namespace zelbor
