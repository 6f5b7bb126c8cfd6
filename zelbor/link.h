// The library's calls as C++ functions over a caller's InterfaceState, which
// zelbor_api.cpp exports as the C interface and tests call directly (a
// static build of the library cannot export the C names on Windows).
#pragma once

#include <cstdint>

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

}  // namespace zelbor
