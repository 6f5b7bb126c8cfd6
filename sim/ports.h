// The simulated device's channels and their ports, shared with the relay
// that stands in front of it: channel c is served on kBasePort + 2c.
#pragma once

namespace zelbor::sim {

inline constexpr int kBasePort = 34567;
inline constexpr int kMaxChannels = 64;

}  // namespace zelbor::sim
