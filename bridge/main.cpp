// raw_can_bridge [--timing host|bus[=DELAY_MS]] host_ip zelbor_ip can_channel
// interface: puts one channel of the device on a SocketCAN interface, both
// ways, so every Linux CAN tool works with the device.
#include <sys/prctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "bridge.h"
#include "can_socket.h"
#include "connect.h"
#include "platform.h"

namespace {

void print_totals(const rawcan::bridge::Totals& totals, const char* interface, bool timed) {
  std::fprintf(stderr,
               "raw_can_bridge: device to %s %llu frames, %s to device %llu frames; dropped "
               "%llu (link %llu, not read in time %llu, %s full %llu, %s down %llu, kernel "
               "receive queue %llu, not taken by the device %llu); refused %llu remote-request, "
               "%llu error frames, %llu CAN FD frames",
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
  if (timed) {
    std::fprintf(stderr, "; late %llu", static_cast<unsigned long long>(totals.late));
  }
  std::fputc('\n', stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "raw_can_bridge";
  // [--timing MODE | --timing=MODE] host_ip zelbor_ip can_channel interface
  int first = 1;
  const char* timing = "host";
  if (argc > 1 && std::strcmp(argv[1], "--timing") == 0) {
    timing = argc > 2 ? argv[2] : "";
    first = 3;
  } else if (argc > 1 && std::strncmp(argv[1], "--timing=", 9) == 0) {
    timing = argv[1] + 9;
    first = 2;
  }
  if (argc - first != 4) {
    std::printf(
        "usage: %s [--timing host|bus[=DELAY_MS]] host_ip zelbor_ip can_channel interface\n",
        program);
    return 1;
  }
  std::optional<rawcan::bridge::Playout> playout = rawcan::bridge::parse_timing(timing);
  if (!playout) {
    std::fprintf(stderr,
                 "raw_can_bridge: --timing is host, bus or bus=DELAY_MS (whole milliseconds, 1 "
                 "to 1000), not \"%s\"\n",
                 timing);
    return 1;
  }
  if (playout->timed()) {
    ::prctl(PR_SET_TIMERSLACK, 1000UL);  // wake within a microsecond of a frame's slot
  }
  const char* const arguments[4] = {program, argv[first], argv[first + 1], argv[first + 2]};
  const char* interface = argv[first + 3];
  rawcan::platform::prepare_process();
  std::string why;
  rawcan::bridge::CanSocket can = rawcan::bridge::CanSocket::open(interface, why);
  if (!can.is_open()) {
    std::fprintf(stderr, "raw_can_bridge: %s\n", why.c_str());
    return 1;
  }
  static InterfaceState state;
  rawcan::Output& out = rawcan::standard_output();
  rawcan::ZelborLibrary library(&state);
  const int32_t channel = rawcan::connect_device(4, arguments, library, out);
  out.print("Bridging channel %d and %s\n", channel, interface);
  out.flush();
  rawcan::platform::mark_running();
  rawcan::bridge::Bridge bridge(library, can, interface, stderr, rawcan::platform::stop_requested,
                                std::move(*playout));
  bridge.run();
  print_totals(bridge.finish(), interface, bridge.timed());
  rawcan::platform::end_by_stop();
}
