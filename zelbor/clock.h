// Time and random ids for the link and the simulated device.
#pragma once

#include <sys/random.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace zelbor {

inline int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// A random non-zero id; falls back on the clock and process id when the
// kernel has no randomness to give without blocking.
inline uint32_t random_nonzero_u32() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
    value = static_cast<uint32_t>(monotonic_ns()) ^ (static_cast<uint32_t>(getpid()) << 16);
  }
  return value == 0 ? 1 : value;
}

}  // namespace zelbor
