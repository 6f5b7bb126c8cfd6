// A frame record's fields as a CAN controller treats them: the identifier
// flagged extended (RAW_CAN_EXTENDED_FLAG) keeps 29 bits, a standard one 11,
// and a record carries 0 to RAW_CAN_MAX_DATA data bytes.
#pragma once

#include <cstdint>

#include "zelbor.h"

namespace rawcan {

inline constexpr uint32_t kStandardIdMask = 0x7FF;
inline constexpr uint32_t kExtendedIdMask = 0x1FFFFFFF;

inline bool is_extended(const RawCanMessage& frame) {
  return (frame.id & RAW_CAN_EXTENDED_FLAG) != 0;
}

// The identifier without its flag, all the bits the record holds.
inline uint32_t identifier(const RawCanMessage& frame) {
  return frame.id & ~RAW_CAN_EXTENDED_FLAG;
}

// The identifier's bits that go on the wire.
inline uint32_t wire_identifier(const RawCanMessage& frame) {
  return frame.id & (is_extended(frame) ? kExtendedIdMask : kStandardIdMask);
}

inline bool is_valid_length(int length) {
  return length >= 0 && length <= RAW_CAN_MAX_DATA;
}

// The data bytes a record covers, whatever its length field says.
inline int data_length(const RawCanMessage& frame) {
  return frame.length < 0 ? 0 : (frame.length > RAW_CAN_MAX_DATA ? RAW_CAN_MAX_DATA : frame.length);
}

// The frame as a controller puts it on the wire: the identifier's bits that
// go out, the length it covers, and no data beyond it. Such a frame is
// listed, recorded and replayed as itself.
inline RawCanMessage as_sent_on_the_wire(RawCanMessage frame) {
  frame.id = (is_extended(frame) ? RAW_CAN_EXTENDED_FLAG : 0) | wire_identifier(frame);
  frame.length = static_cast<int8_t>(data_length(frame));
  for (int i = frame.length; i < RAW_CAN_MAX_DATA; ++i) {
    frame.data[i] = 0;
  }
  return frame;
}

}  // namespace rawcan
