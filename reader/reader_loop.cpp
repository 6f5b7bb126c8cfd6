#include "reader_loop.h"

#include "frame_line.h"

namespace rawcan {

void run_reader(LibraryCalls& library, int32_t channel, Output& out, Pacer& pacer) {
  out.print("Start reading CAN messages on channel %d:\n", channel);
  RawCanMessage frame{};
  char line[kMaxFrameLineLength];
  while (!pacer.stop_requested() && !out.failed()) {
    if (library.raw_can_read(frame) == ERR_NO_DATA) {
      // A quiet bus must not leave earlier lines sitting in the buffer.
      if (out.flush()) {
        pacer.pause_ms(kIdlePauseMs);
      }
      continue;
    }
    out.write(line, format_frame_line(frame, line));
  }
}

}  // namespace rawcan
