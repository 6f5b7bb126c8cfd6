// The device's frame record and the kernel's classic CAN frame, both ways.
// The record carries data frames with standard (11-bit) and extended (29-bit)
// identifiers and 0 to 8 data bytes; remote-request and error frames have no
// place in it, so they are refused, not sent as something else.
#pragma once

#include <linux/can.h>

#include "zelbor.h"

namespace rawcan::bridge {

enum class Conversion { kFrame, kRemoteRequest, kErrorFrame };

// The kernel's frame of a record from the device; a standard identifier
// keeps its low 11 bits and a length outside 0 to 8 is cut to that range,
// as a controller sends them.
can_frame to_can_frame(const RawCanMessage& record);

// The record of a frame read from the interface, unless it cannot carry it.
Conversion to_record(const can_frame& frame, RawCanMessage& record);

}  // namespace rawcan::bridge
