// raw_can_reader host_ip zelbor_ip can_channel: lists every frame on a channel.
#include <cstdio>

#include "connect.h"
#include "reader_loop.h"

int main(int argc, char** argv) {
  static InterfaceState state;
  rawcan::ZelborLibrary library(&state);
  rawcan::install_stop_signal_handlers();
  const int32_t channel = rawcan::connect_device(argc, argv, library, stdout);
  rawcan::ProcessPacer pacer;
  rawcan::run_reader(library, channel, stdout, pacer);
  return rawcan::finish_after_stop(library, stdout);
}
