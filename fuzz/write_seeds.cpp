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

Bytes frames(uint32_t sequence, std::size_t count) {
  std::vector<RawCanMessage> batch(count);
  for (std::size_t i = 0; i < count; ++i) {
    batch[i].id = static_cast<uint32_t>(i % 2 == 0 ? 1000 + i : 0x80000000u | (0x1ABC + i));
    batch[i].length = static_cast<int8_t>(i % 9);
    batch[i].data[0] = static_cast<uint8_t>(i);
  }
  Bytes out(kMaxDatagram);
  out.resize(encode_frames(0x1234, sequence, batch.data(), count, out.data(), out.size()));
  return out;
}

Bytes control(uint32_t sequence, uint16_t type, uint16_t length) {
  CtrlMessage record{};
  record.type = type;
  record.length = length;
  record.data[0] = 0x03;
  record.data[1] = 0x14;
  Bytes out(kHeaderSize + sizeof(CtrlMessage));
  out.resize(encode_control(Kind::kControl, 0x1234, sequence, record, out.data(), out.size()));
  return out;
}

Bytes ack(uint32_t sequence, uint32_t acked) {
  Bytes out(64);
  out.resize(encode_ack(0x1234, sequence, MESSAGE_COUNT, acked, out.data(), out.size()));
  return out;
}

Bytes hello(uint32_t sequence, uint32_t known) {
  Bytes out(64);
  out.resize(encode_hello(0x1234, sequence, known, out.data(), out.size()));
  return out;
}

Bytes bye(uint32_t sequence) {
  Bytes out(64);
  out.resize(encode_bye(0x1234, sequence, out.data(), out.size()));
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
  write(decode + "frames_1", frames(0, 1));
  write(decode + "frames_50", frames(1, 50));
  write(decode + "control_init", control(2, INIT_CAN_CHIP, 10));
  write(decode + "control_empty", control(3, 0x8002, 0));
  write(decode + "control_full", control(4, 9, 524));
  write(decode + "ack", ack(5, 4));
  write(decode + "hello", hello(6, 0xD0D0));
  write(decode + "bye", bye(7));

  const std::string sim = root + "/sim_fuzz/";
  Bytes session;
  step(session, 1, 1, 0, hello(0, 0));
  step(session, 0, 0, 0, hello(0, 0));
  step(session, 0, 0, 0, control(1, INIT_CAN_CHIP, 10));
  step(session, 0, 0, 1, frames(2, 50));
  step(session, 0, 0, 3, ack(3, 1));
  step(session, 0, 0, 1, frames(4, 7));
  step(session, 1, 1, 200, bye(1));
  write(sim + "writer_and_reader", session);
  Bytes restart;
  step(restart, 0, 0, 0, hello(9, 0xBEEF));
  step(restart, 0, 0, 5, frames(10, 3));
  step(restart, 0, 4, 0, frames(0, 2));  // another host takes the channel over
  write(sim + "restart_and_takeover", restart);
  return 0;
}
