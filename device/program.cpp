#include "program.h"

#include <unistd.h>

#include "connect.h"

namespace rawcan {

void run_program(int argc, char** argv, ProgramLoop loop) {
  static InterfaceState state;
  static Output out(STDOUT_FILENO);
  ZelborLibrary library(&state);
  install_signal_handlers();
  const int32_t channel = connect_device(argc, argv, library, out);
  mark_running();
  ProcessPacer pacer;
  loop(library, channel, out, pacer);
  finish_run(library, out, argv[0]);
}

}  // namespace rawcan
