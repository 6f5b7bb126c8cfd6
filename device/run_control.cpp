#include "run_control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform.h"

namespace rawcan {

bool ProcessPacer::stop_requested() {
  return platform::stop_requested();
}

void ProcessPacer::pause_ms(int milliseconds) {
  platform::sleep_ms(milliseconds);
}

namespace {

std::string_view program_name(const char* program_path) {
  return program_path == nullptr ? std::string_view() : platform::program_name(program_path);
}

}  // namespace

LinkLoss stop_interface(LibraryCalls& library) {
  library.stop();
  ZelborCounters counters{};
  if (!library.read_counters(counters)) {
    return {0, 0};
  }
  return {counters.frames_lost + counters.frames_overflowed,
          counters.controls_lost + counters.controls_overflowed};
}

void report_loss(const LinkLoss& loss, const char* program_path, std::FILE* errors) {
  if (loss.frames == 0 && loss.control_records == 0) {
    return;
  }
  const std::string_view name = program_name(program_path);
  std::fprintf(errors, "%.*s: %llu frames lost, %llu control records lost\n",
               static_cast<int>(name.size()), name.data(),
               static_cast<unsigned long long>(loss.frames),
               static_cast<unsigned long long>(loss.control_records));
}

void end_after_output_failure(int error, const char* program_path) {
  if (error == EPIPE) {
    platform::end_after_closed_pipe();  // whoever read the output is gone: nobody to tell
  }
  const std::string_view name = program_name(program_path);
  std::fprintf(stderr, "%.*s: cannot write standard output: %s\n", static_cast<int>(name.size()),
               name.data(), std::strerror(error));
  std::exit(1);
}

void finish_run(LibraryCalls& library, Output& out, const char* program_path) {
  out.flush();
  report_loss(stop_interface(library), program_path, stderr);
  if (out.failed()) {
    end_after_output_failure(out.error(), program_path);
  }
  platform::end_by_stop();
}

}  // namespace rawcan
