// How the programs run and end: the pause and stop check their loops need,
// the signals, and the orderly end that stops the interface and reports
// what went wrong or was lost.
#pragma once

#include <cstdint>
#include <cstdio>

#include "library_calls.h"
#include "output.h"

namespace rawcan {

inline constexpr int kIdlePauseMs = 20;

class Pacer {
 public:
  virtual ~Pacer() = default;
  virtual bool stop_requested() = 0;
  virtual void pause_ms(int milliseconds) = 0;
};

// Answers from the stop requests and sleeps for real; tests use a fake clock.
class ProcessPacer final : public Pacer {
 public:
  bool stop_requested() override;
  void pause_ms(int milliseconds) override;
};

struct LinkLoss {
  uint64_t frames;
  uint64_t control_records;
};

// Stops the interface, then reads the link's loss: stopping counts what the
// device dropped while this host was away. No loss where the library keeps
// no counters.
LinkLoss stop_interface(LibraryCalls& library);

// One line on `errors` when anything was lost, naming the program by the
// last part of `program_path`.
void report_loss(const LinkLoss& loss, const char* program_path, std::FILE* errors);

// Ends the process after standard output failed with `error`: a closed pipe
// quietly with SIGPIPE's status, anything else with a line and status 1.
[[noreturn]] void end_after_output_failure(int error, const char* program_path);

// The end after the loop: flush, stop the interface and report loss, then
// end by the output's failure if it failed, else by the stop signal.
[[noreturn]] void finish_run(LibraryCalls& library, Output& out, const char* program_path);

}  // namespace rawcan
