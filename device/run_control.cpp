#include "run_control.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "signals.h"

namespace rawcan {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_running = 0;

// Async-signal-safe: sigaction, sigprocmask and raise only.
void raise_with_default_action(int signal_number) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, signal_number);
  sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  raise(signal_number);
}

extern "C" void on_stop_signal(int signal_number) {
  if (g_running == 0) {
    // Start-up can wait up to a second inside the library (INIT_CAN_CHIP),
    // and the library must not be called from a signal handler, so the
    // interface cannot be stopped in order here: end now. The system closes
    // the socket, and the device lets a host it no longer hears go.
    raise_with_default_action(signal_number);
    return;
  }
  g_stop_signal = signal_number;
}

[[noreturn]] void end_by_signal(int signal_number) {
  raise_with_default_action(signal_number);
  std::_Exit(128 + signal_number);  // only if the signal did not end the process
}

const char* program_name(const char* program_path) {
  if (program_path == nullptr) {
    return "";
  }
  const char* slash = std::strrchr(program_path, '/');
  return slash == nullptr ? program_path : slash + 1;
}

}  // namespace

bool ProcessPacer::stop_requested() {
  return g_stop_signal != 0;
}

void ProcessPacer::pause_ms(int milliseconds) {
  const timespec duration{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&duration, nullptr);  // EINTR ends it early: the caller checks for a stop
}

void install_signal_handlers() {
  // SA_RESTART: a write of the listing is not cut short by the signal.
  zelbor::install_signal_handler(on_stop_signal, {SIGINT, SIGTERM, SIGHUP}, true);
  std::signal(SIGPIPE, SIG_IGN);
}

void mark_running() {
  g_running = 1;
}

LinkLoss stop_interface(LibraryCalls& library) {
  ZelborCounters counters{};
  const bool counted = library.read_counters(counters);
  library.stop();
  if (!counted) {
    return {0, 0};
  }
  return {counters.frames_lost + counters.frames_overflowed,
          counters.controls_lost + counters.controls_overflowed};
}

void report_loss(const LinkLoss& loss, const char* program_path, std::FILE* errors) {
  if (loss.frames == 0 && loss.control_records == 0) {
    return;
  }
  std::fprintf(errors, "%s: %llu frames lost, %llu control records lost\n",
               program_name(program_path), static_cast<unsigned long long>(loss.frames),
               static_cast<unsigned long long>(loss.control_records));
}

void end_after_output_failure(int error, const char* program_path) {
  if (error == EPIPE) {
    end_by_signal(SIGPIPE);  // whoever read the output is gone: nobody to tell
  }
  std::fprintf(stderr, "%s: cannot write standard output: %s\n", program_name(program_path),
               std::strerror(error));
  std::exit(1);
}

void finish_run(LibraryCalls& library, Output& out, const char* program_path) {
  out.flush();
  report_loss(stop_interface(library), program_path, stderr);
  if (out.failed()) {
    end_after_output_failure(out.error(), program_path);
  }
  end_by_signal(g_stop_signal);
}

}  // namespace rawcan
