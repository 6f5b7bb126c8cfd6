// The host side of the device link: the six operations over UDP, with all
// state inside the caller's InterfaceState.
#pragma once

#include <cstdint>

#include "socket_ops.h"
#include "zelbor.h"
#include "zelbor_counters.h"

namespace zelbor {

inline constexpr int kKeepaliveIntervalMs = 500;
inline constexpr int kAckAttempts = 20;
inline constexpr int kAckWaitMs = 50;
inline constexpr int kControlWaitMs = 1;      // longest wait of an empty ZelborCtrlRead
inline constexpr int kResendIntervalMs = 50;  // frames the device has not taken go again
inline constexpr int kGoodbyeWaitMs = 50;     // longest wait of a stop for the device's answer
inline constexpr int kHeldBatches = 32;       // frame datagrams held until the device takes them
inline constexpr uint32_t kFrameWindow = 1u << 24;
inline constexpr uint32_t kControlWindowAhead = 512;

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
