// Helpers over the records of zelbor.h: building INIT_CAN_CHIP, reading the
// fields the programs care about.
#pragma once

#include <cstdint>

#include "queue_record.h"  // message_count, and the little-endian loads and stores
#include "zelbor.h"

namespace rawcan {

// The INIT_CAN_CHIP record: type 3, length 10, data 03 14 then eight zeros.
CtrlMessage make_init_can_chip();

inline bool is_extended(const RawCanMessage& frame) {
  return (frame.id & RAW_CAN_EXTENDED_FLAG) != 0;
}

inline uint32_t identifier(const RawCanMessage& frame) {
  return frame.id & ~RAW_CAN_EXTENDED_FLAG;
}

}  // namespace rawcan
