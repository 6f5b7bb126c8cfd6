#include "wire.h"

#include <cstring>

#include "can_frame.h"

namespace zelbor::wire {
namespace {

// The shared little-endian loads and stores, under the codec's short names.
constexpr auto put16 = rawcan::store_le16;
constexpr auto put32 = rawcan::store_le32;
constexpr auto get16 = rawcan::load_le16;
constexpr auto get32 = rawcan::load_le32;

void put_header(uint8_t* out, Kind kind, const Envelope& envelope, uint16_t count) {
  out[0] = kMagic0;
  out[1] = kMagic1;
  out[2] = kVersion;
  out[3] = static_cast<uint8_t>(kind);
  put32(out + 4, envelope.session);
  put32(out + 8, envelope.peer);
  put32(out + 12, envelope.sequence);
  put32(out + 16, envelope.ack);
  put16(out + 20, count);
  put16(out + 22, 0);
}

void put_frame(uint8_t* out, const RawCanMessage& frame) {
  std::memcpy(out, frame.data, 8);
  out[8] = static_cast<uint8_t>(frame.length);
  out[9] = frame.aux_byte;
  out[10] = frame.reserved[0];
  out[11] = frame.reserved[1];
  put32(out + 12, frame.id);
  put32(out + 16, frame.aux_word);
  put32(out + 20, frame.time_high);
  put32(out + 24, frame.time_low);
}

DecodeError size_error(std::size_t size, std::size_t expected) {
  return size < expected ? DecodeError::kTruncated : DecodeError::kOversize;
}

}  // namespace

DecodeError decode(const uint8_t* bytes, std::size_t size, Datagram& out) {
  if (size < kHeaderSize) {
    return DecodeError::kTruncated;
  }
  if (size > kMaxDatagram) {
    return DecodeError::kOversize;
  }
  if (bytes[0] != kMagic0 || bytes[1] != kMagic1) {
    return DecodeError::kBadMagic;
  }
  if (bytes[2] != kVersion) {
    return DecodeError::kBadVersion;
  }
  if (get16(bytes + 22) != 0) {
    return DecodeError::kBadReserved;
  }
  const Header header{static_cast<Kind>(bytes[3]),
                      {get32(bytes + 4), get32(bytes + 8), get32(bytes + 12), get32(bytes + 16)},
                      get16(bytes + 20)};
  const uint8_t* payload = bytes + kHeaderSize;
  const std::size_t payload_size = size - kHeaderSize;
  switch (header.kind) {
    case Kind::kFrames: {
      if (header.count == 0 || header.count > kMaxFramesPerDatagram) {
        return DecodeError::kBadCount;
      }
      const std::size_t expected = kFrameSize * header.count;
      if (payload_size != expected) {
        return size_error(payload_size, expected);
      }
      for (std::size_t i = 0; i < header.count; ++i) {
        if (!rawcan::is_valid_length(static_cast<int8_t>(payload[i * kFrameSize + 8]))) {
          return DecodeError::kBadFrameLength;
        }
      }
      break;
    }
    case Kind::kControl:
    case Kind::kAck: {
      if (header.count != 1) {
        return DecodeError::kBadCount;
      }
      if (payload_size < kControlHeaderSize) {
        return DecodeError::kTruncated;
      }
      const uint16_t length = get16(payload + 2);
      if (length > CTRL_MESSAGE_DATA_CAPACITY) {
        return DecodeError::kBadControlLength;
      }
      const std::size_t expected = kControlHeaderSize + length;
      if (payload_size != expected) {
        return size_error(payload_size, expected);
      }
      if (header.kind == Kind::kAck &&
          (get16(payload) != kAckRecordType || length != kAckRecordLength)) {
        return DecodeError::kBadControlLength;
      }
      break;
    }
    case Kind::kHello:
    case Kind::kBye:
    case Kind::kRefused:
      if (header.count != 0) {
        return DecodeError::kBadCount;
      }
      if (payload_size != 0) {
        return DecodeError::kOversize;
      }
      break;
    default:
      return DecodeError::kUnknownKind;
  }
  out = Datagram{header, payload, payload_size};
  return DecodeError::kNone;
}

void frame_at(const uint8_t* payload, std::size_t index, RawCanMessage& frame) {
  const uint8_t* p = payload + index * kFrameSize;
  std::memcpy(frame.data, p, 8);
  frame.length = static_cast<int8_t>(p[8]);
  frame.aux_byte = p[9];
  frame.reserved[0] = p[10];
  frame.reserved[1] = p[11];
  frame.id = get32(p + 12);
  frame.aux_word = get32(p + 16);
  frame.time_high = get32(p + 20);
  frame.time_low = get32(p + 24);
}

void control_record(const Datagram& datagram, CtrlMessage& record) {
  record.type = get16(datagram.payload);
  record.length = get16(datagram.payload + 2);
  std::memcpy(record.data, datagram.payload + kControlHeaderSize, record.length);
}

std::size_t encode_frames(const Envelope& envelope, const RawCanMessage* frames, std::size_t count,
                          uint8_t* out, std::size_t capacity) {
  const std::size_t size = kHeaderSize + kFrameSize * count;
  if (count == 0 || count > kMaxFramesPerDatagram || size > capacity || frames == nullptr) {
    return 0;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!rawcan::is_valid_length(frames[i].length)) {
      return 0;
    }
  }
  put_header(out, Kind::kFrames, envelope, static_cast<uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    put_frame(out + kHeaderSize + i * kFrameSize, frames[i]);
  }
  return size;
}

std::size_t encode_control(Kind kind, const Envelope& envelope, const CtrlMessage& record,
                           uint8_t* out, std::size_t capacity) {
  const std::size_t size = kHeaderSize + kControlHeaderSize + record.length;
  if (record.length > CTRL_MESSAGE_DATA_CAPACITY || size > capacity ||
      (kind != Kind::kControl && kind != Kind::kAck)) {
    return 0;
  }
  put_header(out, kind, envelope, 1);
  put16(out + kHeaderSize, record.type);
  put16(out + kHeaderSize + 2, record.length);
  std::memcpy(out + kHeaderSize + kControlHeaderSize, record.data, record.length);
  return size;
}

std::size_t encode_ack(const Envelope& envelope, uint16_t acked_type, uint32_t acked_sequence,
                       uint8_t* out, std::size_t capacity) {
  CtrlMessage record{};
  record.type = kAckRecordType;
  record.length = kAckRecordLength;
  put16(record.data, acked_type);
  put32(record.data + 2, acked_sequence);
  return encode_control(Kind::kAck, envelope, record, out, capacity);
}

std::size_t encode_signal(Kind kind, const Envelope& envelope, uint8_t* out, std::size_t capacity) {
  if (capacity < kHeaderSize ||
      (kind != Kind::kHello && kind != Kind::kBye && kind != Kind::kRefused)) {
    return 0;
  }
  put_header(out, kind, envelope, 0);
  return kHeaderSize;
}

bool parse_ack(const CtrlMessage& record, uint16_t& acked_type, uint32_t& acked_sequence) {
  if (record.type != kAckRecordType || record.length != kAckRecordLength) {
    return false;
  }
  acked_type = get16(record.data);
  acked_sequence = get32(record.data + 2);
  return true;
}

}  // namespace zelbor::wire
