// Fuzz target: the datagram decoder. Whatever the bytes, decoding must not
// read out of bounds, and anything it accepts must encode back to the very
// same bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelbor::wire;
  Datagram datagram{};
  if (decode(data, size, datagram) != DecodeError::kNone) {
    return 0;
  }
  const Header& header = datagram.header;
  uint8_t again[kMaxDatagram + sizeof(CtrlMessage)];
  std::size_t again_size = 0;
  switch (header.kind) {
    case Kind::kFrames: {
      std::vector<RawCanMessage> frames(header.count);
      for (std::size_t i = 0; i < header.count; ++i) {
        frame_at(datagram, i, frames[i]);
        if (frames[i].length < 0 || frames[i].length > RAW_CAN_MAX_DATA) {
          __builtin_trap();
        }
      }
      again_size =
          encode_frames(header.envelope, frames.data(), frames.size(), again, sizeof again);
      break;
    }
    case Kind::kControl:
    case Kind::kAck: {
      CtrlMessage record{};
      control_record(datagram, record);
      again_size = encode_control(header.kind, header.envelope, record, again, sizeof again);
      break;
    }
    case Kind::kHello:
    case Kind::kBye:
    case Kind::kRefused:
      again_size = encode_signal(header.kind, header.envelope, again, sizeof again);
      break;
  }
  if (again_size != size || std::memcmp(again, data, size) != 0) {
    __builtin_trap();  // accepted bytes that do not round-trip
  }
  return 0;
}
