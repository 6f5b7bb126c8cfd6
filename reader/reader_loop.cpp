#include "reader_loop.h"

#include "frame_line.h"

namespace rawcan {

void run_reader(DeviceLink& link, int32_t channel, std::FILE* out, Pacer& pacer) {
  std::fprintf(out, "Start reading CAN messages on channel %d:\n", channel);
  RawCanMessage frame{};
  char line[kMaxFrameLineLength];
  while (!pacer.stop_requested()) {
    if (link.raw_can_read(frame) == ERR_NO_DATA) {
      // A quiet bus must not leave earlier lines sitting in the buffer.
      std::fflush(out);
      pacer.pause_ms(kIdlePauseMs);
      continue;
    }
    std::fwrite(line, 1, format_frame_line(frame, line), out);
  }
  std::fflush(out);
}

}  // namespace rawcan
