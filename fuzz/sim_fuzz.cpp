// Fuzz target: the simulated device's request handling. The input is a run
// of datagrams, each as: channel, sender, milliseconds to advance, a 16-bit
// little-endian length, then the bytes. The device must never crash, and
// everything it sends must be a valid datagram.
#include <netinet/in.h>

#include <cstdint>

#include "ports.h"
#include "sim_device.h"
#include "wire.h"

namespace {

class CheckingOutbox final : public zelbor::sim::Outbox {
 public:
  bool send(int channel, const sockaddr_in&, const uint8_t* bytes, std::size_t size) override {
    zelbor::wire::Datagram datagram{};
    if (channel < 0 || channel >= 3 ||
        zelbor::wire::decode(bytes, size, datagram) != zelbor::wire::DecodeError::kNone) {
      __builtin_trap();
    }
    return true;
  }
};

sockaddr_in sender(uint8_t selector) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(0x7F000001u + (selector >> 2 & 3));
  address.sin_port = htons(static_cast<uint16_t>(rawcan::host_port_of(selector & 3)));
  return address;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zelbor::sim::SimDevice device(3, {0.1, 7}, 7, 0, nullptr);
  CheckingOutbox outbox;
  int64_t now_ns = 0;
  std::size_t offset = 0;
  while (offset + 5 <= size) {
    const int channel = data[offset] % 4;  // 3 is no channel of this device
    const sockaddr_in from = sender(data[offset + 1]);
    now_ns += int64_t{data[offset + 2]} * 20'000'000;
    std::size_t length = data[offset + 3] | (data[offset + 4] << 8);
    offset += 5;
    if (length > size - offset) {
      length = size - offset;
    }
    device.handle(channel, from, data + offset, length, now_ns, outbox);
    device.tick(now_ns, outbox);
    offset += length;
  }
  device.flush(outbox);
  return 0;
}
