#pragma once

#include <cstdint>

#include "library_calls.h"
#include "output.h"
#include "run_control.h"

namespace rawcan {

// Prints the start line, then lists every frame the library delivers until
// the pacer asks for a stop or the output fails. Pauses only after an empty
// read, flushing first.
void run_reader(LibraryCalls& library, int32_t channel, Output& out, Pacer& pacer);

}  // namespace rawcan
