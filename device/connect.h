// Start-up shared by both programs: command line to an initialised CAN chip.
#pragma once

#include <cstdint>

#include "library_calls.h"
#include "output.h"
#include "ports.h"

namespace rawcan {

// Parses "a.b.c.d" the way scanf("%d.%d.%d.%d") reads it and forms
// ((a << 8 | b) << 8 | c) << 8 | d in 32-bit arithmetic. Numbers that are not
// there count as 0; a number beyond 32 bits keeps its low 32 bits.
uint32_t parse_ipv4_like_scanf(const char* text);

// Parses a channel the way scanf("%d") reads it; 0 where nothing is parsed.
int32_t parse_channel(const char* text);

// The ports ZelborStartInterface takes: the host's, then the device's.
inline int32_t first_port_of(int32_t channel) {
  return host_port_of(channel);
}
inline int32_t second_port_of(int32_t channel) {
  return device_port_of(channel);
}

struct StartOutcome {
  bool ready;
  int32_t channel;  // valid when ready
  int exit_status;  // valid when not ready
};

// Checks the arguments, starts the interface and sends INIT_CAN_CHIP. Prints
// the usage or failure line to `out` and reports the exit status instead of
// ending the process.
StartOutcome start_device(int argc, const char* const* argv, LibraryCalls& library, Output& out);

// start_device, ending the process on failure; returns the channel.
int32_t connect_device(int argc, const char* const* argv, LibraryCalls& library, Output& out);

}  // namespace rawcan
