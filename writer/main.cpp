// raw_can_writer host_ip zelbor_ip can_channel: sends paced batches of 50 frames.
#include <cstdio>

#include "connect.h"
#include "writer_loop.h"

int main(int argc, char** argv) {
  static InterfaceState state;
  rawcan::ZelborLibrary library(&state);
  rawcan::install_stop_signal_handlers();
  const int32_t channel = rawcan::connect_device(argc, argv, library, stdout);
  rawcan::ProcessPacer pacer;
  rawcan::run_writer(library, channel, stdout, pacer);
  return rawcan::finish_after_stop(library, stdout);
}
