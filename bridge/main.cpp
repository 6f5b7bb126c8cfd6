// raw_can_bridge host_ip zelbor_ip can_channel interface: puts one channel of
// the device on a SocketCAN interface, both ways, so every Linux CAN tool
// works with the device.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge.h"
#include "can_socket.h"
#include "connect.h"
#include "platform.h"

namespace {

void print_totals(const rawcan::bridge::Totals& totals, const char* interface) {
  std::fprintf(stderr,
               "raw_can_bridge: device to %s %llu frames, %s to device %llu frames; dropped "
               "%llu (link %llu, not read in time %llu, %s full %llu, %s down %llu, kernel "
               "receive queue %llu, not taken by the device %llu); refused %llu remote-request, "
               "%llu error frames, %llu CAN FD frames\n",
               interface, static_cast<unsigned long long>(totals.to_interface), interface,
               static_cast<unsigned long long>(totals.to_device),
               static_cast<unsigned long long>(totals.dropped()),
               static_cast<unsigned long long>(totals.lost_on_link),
               static_cast<unsigned long long>(totals.not_read_in_time), interface,
               static_cast<unsigned long long>(totals.interface_full), interface,
               static_cast<unsigned long long>(totals.interface_down),
               static_cast<unsigned long long>(totals.kernel_dropped),
               static_cast<unsigned long long>(totals.not_sent),
               static_cast<unsigned long long>(totals.remote_refused),
               static_cast<unsigned long long>(totals.error_refused),
               static_cast<unsigned long long>(totals.fd_refused));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::printf("usage: %s host_ip zelbor_ip can_channel interface\n",
                argc > 0 && argv[0] != nullptr ? argv[0] : "raw_can_bridge");
    return 1;
  }
  rawcan::platform::prepare_process();
  const char* interface = argv[4];
  std::string why;
  rawcan::bridge::CanSocket can = rawcan::bridge::CanSocket::open(interface, why);
  if (!can.is_open()) {
    std::fprintf(stderr, "raw_can_bridge: %s\n", why.c_str());
    return 1;
  }
  static InterfaceState state;
  rawcan::Output& out = rawcan::standard_output();
  rawcan::ZelborLibrary library(&state);
  const int32_t channel = rawcan::connect_device(4, argv, library, out);
  out.print("Bridging channel %d and %s\n", channel, interface);
  out.flush();
  rawcan::platform::mark_running();
  rawcan::bridge::Bridge bridge(library, can, interface, stderr, rawcan::platform::stop_requested);
  bridge.run();
  print_totals(bridge.finish(), interface);
  rawcan::platform::end_by_stop();
}
