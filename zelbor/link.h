// The library's calls as C++ functions over a caller's InterfaceState, which
// zelbor_api.cpp exports as the C interface and tests call directly (a
// static build of the library cannot export the C names on Windows).
#pragma once

#include <cstdint>

#include "link_core.h"
#include "socket_ops.h"
#include "zelbor.h"
#include "zelbor_counters.h"

namespace zelbor {

int32_t link_start(InterfaceState* state, uint32_t device_address, uint32_t host_address,
                   int32_t first_port, int32_t second_port, int32_t channel);
int32_t link_stop(InterfaceState* state);
int32_t link_ctrl_write(InterfaceState* state, const CtrlMessage* message);
int32_t link_ctrl_read(InterfaceState* state, CtrlMessage* message);
int32_t link_raw_can_read(InterfaceState* state, RawCanMessage* message);
int32_t link_raw_can_write(InterfaceState* state, const RawCanMessage* frames, int32_t count);
int32_t link_counters(const InterfaceState* state, ZelborCounters* counters);
int32_t link_status(const InterfaceState* state, ZelborLinkStatus* status);

// Replaces the system calls of a started link (tests only).
void link_set_socket_ops(InterfaceState* state, const SocketOps* ops);

// For tests and the simulation's checks: whether a link's queues keep their
// invariants, and where it is in its life (kLeft: its stop heard the
// device's answer). False for a state never started.
struct LinkInspection {
  bool consistent;
  Phase phase;
};
bool link_inspect(const InterfaceState* state, LinkInspection& inspection);

// What the shell takes from around it: the socket, its calls, the clock and
// the randomness of a run's id. Links run on the system's; the deterministic
// simulation gives a virtual network and clock, so it runs this same shell.
struct LinkSystem {
  const SocketOps* ops;
  int64_t (*now_ns)();
  // As open_udp_socket() and close_socket().
  SocketHandle (*open_socket)(uint32_t address, uint16_t port, int receive_buffer_bytes);
  void (*close_socket)(SocketHandle socket);
  uint32_t (*random_id)();  // never 0
};

// Links started from now on run on `system`; nullptr: on the system's own
// (simulation and tests only, not exported).
void use_link_system(const LinkSystem* system);

}  // namespace zelbor
