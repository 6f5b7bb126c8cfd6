// Helpers over the records of zelbor.h: building INIT_CAN_CHIP, reading the
// fields the programs care about.
#pragma once

#include <cstdint>

#include "can_frame.h"     // is_extended, identifier
#include "queue_record.h"  // message_count, and the little-endian loads and stores
#include "zelbor.h"

namespace rawcan {

// The INIT_CAN_CHIP record: type 3, length 10, data 03 14 then eight zeros.
CtrlMessage make_init_can_chip();

}  // namespace rawcan
