// The datagram format between the library and the device: pure encoding and
// decoding over byte buffers, no sockets. docs/protocol.md describes it.
//
// Every datagram starts with a 16-byte little-endian header:
//   0  'Z' 'B'       magic
//   2  version (1)
//   3  kind
//   4  session       the sender's random id for this run; changes on restart
//   8  sequence      per sender and endpoint, +1 for each new datagram
//   12 count         frames, or 1 for one control record, 0 otherwise
//   14 reserved      0
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelbor.h"

namespace zelbor::wire {

inline constexpr uint8_t kMagic0 = 'Z';
inline constexpr uint8_t kMagic1 = 'B';
inline constexpr uint8_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kFrameSize = 28;
inline constexpr std::size_t kMaxFramesPerDatagram = 50;
inline constexpr std::size_t kControlHeaderSize = 4;
inline constexpr std::size_t kHelloPayloadSize = 4;
inline constexpr std::size_t kMaxDatagram = kHeaderSize + kFrameSize * kMaxFramesPerDatagram;

static_assert(kMaxDatagram == 1416, "a full batch fits one Ethernet frame");

enum class Kind : uint8_t {
  kFrames = 1,   // count frames of 28 bytes
  kControl = 2,  // one control record: type, length, data
  kAck = 3,      // one control record of type kAckRecordType
  kHello = 4,    // host to device: here I am; payload: last device session seen
  kBye = 5,      // host to device: leaving
};

// Control records of the link itself. Programs may see them and ignore them.
inline constexpr uint16_t kAckRecordType = 0x8001;    // data: u16 type, u32 sequence acknowledged
inline constexpr uint16_t kReadyRecordType = 0x8002;  // device restarted and knows the host again
inline constexpr uint16_t kAckRecordLength = 6;

struct Header {
  Kind kind;
  uint32_t session;
  uint32_t sequence;
  uint16_t count;
};

enum class DecodeError {
  kNone,
  kTruncated,  // shorter than the header, or than its count promises
  kOversize,   // longer than the largest datagram, or than its count promises
  kBadMagic,
  kBadVersion,
  kUnknownKind,
  kBadCount,          // count not allowed for the kind
  kBadFrameLength,    // a frame's length byte outside 0..8
  kBadControlLength,  // control length beyond the record's capacity
  kBadReserved,
};

// A datagram that passed every check; payload points into the caller's buffer.
struct Datagram {
  Header header;
  const uint8_t* payload;
  std::size_t payload_size;
};

// Checks every length before anything is read; on kNone fills `out`.
DecodeError decode(const uint8_t* bytes, std::size_t size, Datagram& out);

// Frame `index` (< header.count) of a decoded kFrames datagram.
void frame_at(const Datagram& datagram, std::size_t index, RawCanMessage& frame);

// The record of a decoded kControl or kAck datagram.
void control_record(const Datagram& datagram, CtrlMessage& record);

// The payload of a decoded kHello datagram.
uint32_t hello_device_session(const Datagram& datagram);

// Encoders return the datagram's size, or 0 if it does not fit `capacity` or
// the input is not encodable (more than 50 frames, a length byte outside
// 0..8, a control length beyond 524).
std::size_t encode_frames(uint32_t session, uint32_t sequence, const RawCanMessage* frames,
                          std::size_t count, uint8_t* out, std::size_t capacity);
std::size_t encode_control(Kind kind, uint32_t session, uint32_t sequence,
                           const CtrlMessage& record, uint8_t* out, std::size_t capacity);
std::size_t encode_ack(uint32_t session, uint32_t sequence, uint16_t acked_type,
                       uint32_t acked_sequence, uint8_t* out, std::size_t capacity);
std::size_t encode_hello(uint32_t session, uint32_t sequence, uint32_t known_device_session,
                         uint8_t* out, std::size_t capacity);
std::size_t encode_bye(uint32_t session, uint32_t sequence, uint8_t* out, std::size_t capacity);

// Reads an acknowledgement record; false if it is not one.
bool parse_ack(const CtrlMessage& record, uint16_t& acked_type, uint32_t& acked_sequence);

}  // namespace zelbor::wire
