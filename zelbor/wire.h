// The datagram format between the library and the device: pure encoding and
// decoding over byte buffers, no sockets. docs/protocol.md describes it.
//
// Every datagram starts with a 24-byte little-endian header:
//   0  'Z' 'B'   magic
//   2  version (2)
//   3  kind
//   4  session   the sender's id: the host's for one run, the device's for one host's stay
//   8  peer      the receiver's session as the sender knows it, 0 if none yet
//   12 sequence  the datagram's number in the sender's stream of its kind
//   16 ack       device: the next host frame datagram it takes; host: its oldest one unacknowledged
//   20 count     frames, or 1 for one control record, 0 otherwise
//   22 reserved  0
#pragma once

#include <cstddef>
#include <cstdint>

#include "queue_record.h"
#include "zelbor.h"
#include "zelbor_counters.h"

namespace zelbor::wire {

inline constexpr uint8_t kMagic0 = 'Z';
inline constexpr uint8_t kMagic1 = 'B';
inline constexpr uint8_t kVersion = 2;
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kFrameSize = 28;
inline constexpr std::size_t kMaxFramesPerDatagram = 50;
inline constexpr std::size_t kControlHeaderSize = 4;
inline constexpr std::size_t kMaxDatagram = kHeaderSize + kFrameSize * kMaxFramesPerDatagram;
inline constexpr std::size_t kMaxControlDatagram =
    kHeaderSize + kControlHeaderSize + CTRL_MESSAGE_DATA_CAPACITY;

static_assert(kMaxDatagram == 1424, "a full batch fits one Ethernet frame");
static_assert(kMaxControlDatagram <= kMaxDatagram);

enum class Kind : uint8_t {
  kFrames = 1,   // count frames of 28 bytes
  kControl = 2,  // one control record: type, length, data
  kAck = 3,      // one control record of type kAckRecordType
  kHello = 4,    // host to device: here I am
  kBye = 5,      // host to device: leaving
  kRefused = 6,  // device to host: another host holds the channel
};

// Control records of the link itself. ZelborCtrlRead hands them to programs
// like any other record: the writer sends a batch for each record it reads.
inline constexpr uint16_t kAckRecordType = 0x8001;  // data: u16 type, u32 sequence acknowledged
inline constexpr uint16_t kReadyRecordType =
    ZELBOR_READY_RECORD;  // device restarted and knows the host again
// From the host: send ROOM reports. From the device: the room in the queue.
inline constexpr uint16_t kRoomRecordType = ZELBOR_ROOM_RECORD;
inline constexpr uint16_t kAckRecordLength = 6;
inline constexpr uint16_t kFramesAckedType = 0;  // an ack of frames carries this as its type
// The device's answer to BYE: "sequence" is the number of the next frame it
// would have sent the host, so the host can count what never reached it.
inline constexpr uint16_t kGoodbyeAckedType = 0xFFFF;
// The device's answer to HELLO, so a host hears the device on a quiet bus.
inline constexpr uint16_t kAliveAckedType = 0xFFFE;
inline constexpr uint32_t kAliveAckedNumber = 0xFFFFFFFF;

// MESSAGE_COUNT and ROOM from the device: queue_record.h.
using rawcan::kQueueRecordLength;

// The fields every datagram carries besides its kind and count.
struct Envelope {
  uint32_t session;
  uint32_t peer;
  uint32_t sequence;
  uint32_t ack;
};

struct Header {
  Kind kind;
  Envelope envelope;
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

// Frame `index` of `payload`, the frames of a decoded kFrames datagram.
void frame_at(const uint8_t* payload, std::size_t index, RawCanMessage& frame);
inline void frame_at(const Datagram& datagram, std::size_t index, RawCanMessage& frame) {
  frame_at(datagram.payload, index, frame);
}

// The record of a decoded kControl or kAck datagram.
void control_record(const Datagram& datagram, CtrlMessage& record);

// Encoders return the datagram's size, or 0 if it does not fit `capacity` or
// the input is not encodable (more than 50 frames, a length byte outside
// 0..8, a control length beyond 524).
std::size_t encode_frames(const Envelope& envelope, const RawCanMessage* frames, std::size_t count,
                          uint8_t* out, std::size_t capacity);
std::size_t encode_control(Kind kind, const Envelope& envelope, const CtrlMessage& record,
                           uint8_t* out, std::size_t capacity);
std::size_t encode_ack(const Envelope& envelope, uint16_t acked_type, uint32_t acked_sequence,
                       uint8_t* out, std::size_t capacity);
// HELLO, BYE and REFUSED: the header alone.
std::size_t encode_signal(Kind kind, const Envelope& envelope, uint8_t* out, std::size_t capacity);

// Reads an acknowledgement record; false if it is not one.
bool parse_ack(const CtrlMessage& record, uint16_t& acked_type, uint32_t& acked_sequence);

}  // namespace zelbor::wire
