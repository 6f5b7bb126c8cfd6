#include "records.h"

namespace rawcan {

CtrlMessage make_init_can_chip() {
  CtrlMessage record{};
  record.type = INIT_CAN_CHIP;
  record.length = 10;
  record.data[0] = 0x03;
  record.data[1] = 0x14;
  return record;
}

}  // namespace rawcan
