// Writes the seed corpus: one valid datagram of every kind for the decoder,
// and short conversations of them for the simulated device. Run it once
// after changing the format: write_seeds fuzz/corpus
#include <cstdio>
#include <string>
#include <vector>

#include "wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace zelbor::wire;

void write(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
}

// Datagrams of a host with session `session`, which knows the device as `peer`.
Envelope from(uint32_t session, uint32_t peer, uint32_t sequence) {
  return {session, peer, sequence, 0};
}

Bytes frames(const Envelope& envelope, std::size_t count) {
  std::vector<RawCanMessage> batch(count);
  for (std::size_t i = 0; i < count; ++i) {
    batch[i].id = static_cast<uint32_t>(i % 2 == 0 ? 1000 + i : 0x80000000u | (0x1ABC + i));
    batch[i].length = static_cast<int8_t>(i % 9);
    batch[i].data[0] = static_cast<uint8_t>(i);
  }
  Bytes out(kMaxDatagram);
  out.resize(encode_frames(envelope, batch.data(), count, out.data(), out.size()));
  return out;
}

Bytes control(const Envelope& envelope, uint16_t type, uint16_t length) {
  CtrlMessage record{};
  record.type = type;
  record.length = length;
  record.data[0] = 0x03;
  record.data[1] = 0x14;
  Bytes out(kMaxControlDatagram);
  out.resize(encode_control(Kind::kControl, envelope, record, out.data(), out.size()));
  return out;
}

Bytes ack(const Envelope& envelope, uint32_t acked) {
  Bytes out(64);
  out.resize(encode_ack(envelope, MESSAGE_COUNT, acked, out.data(), out.size()));
  return out;
}

Bytes signal(Kind kind, const Envelope& envelope) {
  Bytes out(64);
  out.resize(encode_signal(kind, envelope, out.data(), out.size()));
  return out;
}

// One step of a conversation in the sim_fuzz input format.
void step(Bytes& out, uint8_t channel, uint8_t sender, uint8_t advance, const Bytes& datagram) {
  out.insert(out.end(), {channel, sender, advance, static_cast<uint8_t>(datagram.size()),
                         static_cast<uint8_t>(datagram.size() >> 8)});
  out.insert(out.end(), datagram.begin(), datagram.end());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string root = argc > 1 ? argv[1] : "fuzz/corpus";
  const std::string decode = root + "/decode_fuzz/";
  write(decode + "frames_1", frames(from(0x1234, 0xD0D0, 0), 1));
  write(decode + "frames_50", frames(from(0x1234, 0xD0D0, 1), 50));
  write(decode + "control_init", control(from(0x1234, 0, 2), INIT_CAN_CHIP, 10));
  write(decode + "control_empty", control(from(0x1234, 0xD0D0, 3), 0x8002, 0));
  write(decode + "control_full", control(from(0x1234, 0xD0D0, 4), 9, 524));
  write(decode + "ack", ack(from(0x1234, 0xD0D0, 0), 4));
  write(decode + "hello", signal(Kind::kHello, from(0x1234, 0xD0D0, 0)));
  write(decode + "bye", signal(Kind::kBye, from(0x1234, 0xD0D0, 0)));
  write(decode + "refused", signal(Kind::kRefused, from(0, 0x1234, 0)));

  const std::string sim = root + "/sim_fuzz/";
  Bytes session;
  step(session, 1, 1, 0, signal(Kind::kHello, from(0x1234, 0, 0)));
  step(session, 0, 0, 0, signal(Kind::kHello, from(0x1234, 0, 0)));
  step(session, 0, 0, 0, control(from(0x1234, 0, 0), INIT_CAN_CHIP, 10));
  step(session, 0, 0, 1, frames(from(0x1234, 0, 0), 50));
  step(session, 0, 0, 3, ack(from(0x1234, 0, 0), 0));
  step(session, 0, 0, 1, frames(from(0x1234, 0, 1), 7));
  step(session, 0, 0, 1, frames(from(0x1234, 0, 1), 7));                   // a repeat
  step(session, 0, 0, 1, frames(from(0x1234, 0, 5), 7));                   // after a gap
  step(session, 0, 4, 0, control(from(0x5678, 0, 0), INIT_CAN_CHIP, 10));  // refused
  step(session, 1, 1, 200, signal(Kind::kBye, from(0x1234, 0, 0)));
  write(sim + "writer_and_reader", session);
  Bytes restart;
  step(restart, 0, 0, 0, signal(Kind::kHello, from(0x1234, 0xBEEF, 0)));
  step(restart, 0, 0, 5, frames(from(0x1234, 0xBEEF, 10), 3));
  step(restart, 0, 0, 200, signal(Kind::kHello, from(0x1234, 0xBEEF, 0)));  // away and back
  step(restart, 0, 4, 200, frames(from(0x9999, 0, 0), 2));  // another host takes the silent seat
  step(restart, 0, 4, 0, signal(Kind::kHello, from(0x4444, 0, 0)));  // a new run on its endpoint
  write(sim + "restart_and_takeover", restart);
  return 0;
}
