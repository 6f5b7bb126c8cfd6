// The whole of a program's entry: start the device, run the loop until a
// stop signal, then end in order.
#pragma once

#include <cstdint>
#include <cstdio>

#include "device_link.h"
#include "run_control.h"

namespace rawcan {

using ProgramLoop = void (*)(DeviceLink& link, int32_t channel, std::FILE* out, Pacer& pacer);

// Owns the program's one InterfaceState, calls connect_device, then `loop`.
int run_program(int argc, char** argv, ProgramLoop loop);

}  // namespace rawcan
