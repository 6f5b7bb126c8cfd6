#include "program.h"

#include "connect.h"
#include "platform.h"

namespace rawcan {

void run_program(int argc, char** argv, ProgramLoop loop) {
  static InterfaceState state;
  Output& out = standard_output();
  ZelborLibrary library(&state);
  platform::prepare_process();
  const int32_t channel = connect_device(argc, argv, library, out);
  platform::mark_running();
  ProcessPacer pacer;
  loop(library, channel, out, pacer);
  finish_run(library, out, argv[0]);
}

}  // namespace rawcan
