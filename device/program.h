// The whole of a program's entry: start the device, run the loop until a
// stop signal or a failed write, then end in order.
#pragma once

#include <cstdint>

#include "library_calls.h"
#include "output.h"
#include "run_control.h"

namespace rawcan {

using ProgramLoop = void (*)(LibraryCalls& library, int32_t channel, Output& out, Pacer& pacer);

// Owns the program's one InterfaceState, calls connect_device, then `loop`.
[[noreturn]] void run_program(int argc, char** argv, ProgramLoop loop);

}  // namespace rawcan
