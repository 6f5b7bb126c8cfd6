// Helpers over the records of zelbor.h: building INIT_CAN_CHIP, reading the
// fields the programs care about.
#pragma once

#include <cstdint>

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

// Little-endian fields of a record, independent of the host's byte order.
inline uint16_t load_le16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline uint32_t load_le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(load_le16(bytes)) | static_cast<uint32_t>(load_le16(bytes + 2))
                                                       << 16;
}

// The 16-bit count of a MESSAGE_COUNT record (data bytes 0 and 1, little-endian).
inline uint16_t message_count(const CtrlMessage& record) {
  return load_le16(record.data);
}

// Stores a 32-bit value little-endian, independent of the host's byte order.
inline void store_le32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace rawcan
