// MESSAGE_COUNT and ROOM records as the simulated device writes them and the
// hosts read them (zelbor_counters.h documents the layouts): two 16-bit
// fields, then the number of a frame datagram of the host's, little-endian.
// The device maker's MESSAGE_COUNT has length 2: the first field alone.
#pragma once

#include <cstdint>

#include "zelbor.h"

namespace rawcan {

inline constexpr uint16_t kQueueRecordLength = 8;

// Little-endian fields of a record, independent of the host's byte order.
inline uint16_t load_le16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}
inline uint32_t load_le32(const uint8_t* bytes) {
  return static_cast<uint32_t>(load_le16(bytes)) | static_cast<uint32_t>(load_le16(bytes + 2))
                                                       << 16;
}
inline void store_le16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}
inline void store_le32(uint8_t* bytes, uint32_t value) {
  store_le16(bytes, static_cast<uint16_t>(value));
  store_le16(bytes + 2, static_cast<uint16_t>(value >> 16));
}

struct QueueFields {
  uint16_t first;   // MESSAGE_COUNT: frames the queue took; ROOM: the room
  uint16_t second;  // MESSAGE_COUNT: the room left; ROOM: the queue's capacity
  uint32_t batch;   // the frame datagram it answers, or the last one taken
};

inline CtrlMessage queue_record(uint16_t type, const QueueFields& fields) {
  CtrlMessage record{};
  record.type = type;
  record.length = kQueueRecordLength;
  store_le16(record.data, fields.first);
  store_le16(record.data + 2, fields.second);
  store_le32(record.data + 4, fields.batch);
  return record;
}

// Whether the record carries all three fields, not the first alone.
inline bool has_queue_fields(const CtrlMessage& record) {
  return record.length >= kQueueRecordLength;
}
inline QueueFields queue_fields(const CtrlMessage& record) {
  return {load_le16(record.data), load_le16(record.data + 2), load_le32(record.data + 4)};
}

// The 16-bit count of a MESSAGE_COUNT record, of either length.
inline uint16_t message_count(const CtrlMessage& record) {
  return load_le16(record.data);
}

}  // namespace rawcan
