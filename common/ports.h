// The device's UDP ports, as the programs, the simulated device and the
// relay all number them: channel c is served on kDeviceBasePort + 2c, and
// its host listens on the port above.
#pragma once

#include <cstdint>

namespace rawcan {

inline constexpr int32_t kDeviceBasePort = 34567;

// Unsigned arithmetic: any channel number gives a defined result, and one
// out of range gives a port the socket layer refuses.
constexpr int32_t device_port_of(int32_t channel) {
  return static_cast<int32_t>(static_cast<uint32_t>(kDeviceBasePort) +
                              2u * static_cast<uint32_t>(channel));
}
constexpr int32_t host_port_of(int32_t channel) {
  return static_cast<int32_t>(static_cast<uint32_t>(device_port_of(channel)) + 1u);
}

// The highest channel whose host port is still a port.
inline constexpr int32_t kMaxChannel = (65535 - (kDeviceBasePort + 1)) / 2;

// Channels the simulated device, and the relay in front of it, serve at most.
inline constexpr int kMaxServedChannels = 64;

}  // namespace rawcan
