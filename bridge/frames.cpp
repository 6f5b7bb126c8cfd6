#include "frames.h"

#include <cstring>

#include "can_frame.h"

namespace rawcan::bridge {

static_assert(CAN_EFF_MASK == kExtendedIdMask && CAN_SFF_MASK == kStandardIdMask);
static_assert(CAN_MAX_DLEN == RAW_CAN_MAX_DATA);

can_frame to_can_frame(const RawCanMessage& record) {
  can_frame frame{};
  frame.can_id = (is_extended(record) ? CAN_EFF_FLAG : 0) | wire_identifier(record);
  const int length = data_length(record);
  frame.can_dlc = static_cast<__u8>(length);
  std::memcpy(frame.data, record.data, static_cast<std::size_t>(length));
  return frame;
}

Conversion to_record(const can_frame& frame, RawCanMessage& record) {
  if ((frame.can_id & CAN_ERR_FLAG) != 0) {
    return Conversion::kErrorFrame;
  }
  if ((frame.can_id & CAN_RTR_FLAG) != 0) {
    return Conversion::kRemoteRequest;
  }
  record = RawCanMessage{};
  const bool extended = (frame.can_id & CAN_EFF_FLAG) != 0;
  record.id = extended ? RAW_CAN_EXTENDED_FLAG | (frame.can_id & CAN_EFF_MASK)
                       : frame.can_id & CAN_SFF_MASK;
  const int length = frame.can_dlc > CAN_MAX_DLEN ? CAN_MAX_DLEN : frame.can_dlc;
  record.length = static_cast<int8_t>(length);
  std::memcpy(record.data, frame.data, static_cast<std::size_t>(length));
  return Conversion::kFrame;
}

}  // namespace rawcan::bridge
