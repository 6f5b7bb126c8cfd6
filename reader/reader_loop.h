#pragma once

#include <cstdint>
#include <cstdio>

#include "device_link.h"
#include "run_control.h"

namespace rawcan {

// Prints the start line, then lists every frame the link delivers until the
// pacer asks for a stop. Pauses only after an empty read, flushing first.
void run_reader(DeviceLink& link, int32_t channel, std::FILE* out, Pacer& pacer);

}  // namespace rawcan
