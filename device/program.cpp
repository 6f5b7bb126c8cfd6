#include "program.h"

#include "connect.h"

namespace rawcan {

int run_program(int argc, char** argv, ProgramLoop loop) {
  static InterfaceState state;
  ZelborLibrary library(&state);
  install_stop_signal_handlers();
  const int32_t channel = connect_device(argc, argv, library, stdout);
  ProcessPacer pacer;
  loop(library, channel, stdout, pacer);
  return finish_after_stop(library, stdout);
}

}  // namespace rawcan
