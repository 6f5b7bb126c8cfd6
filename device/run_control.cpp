#include "run_control.h"

#include <csignal>
#include <ctime>

namespace rawcan {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void record_stop_signal(int signal_number) {
  g_stop_signal = signal_number;
}

}  // namespace

bool ProcessPacer::stop_requested() {
  return g_stop_signal != 0;
}

void ProcessPacer::pause_ms(int milliseconds) {
  const timespec duration{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&duration, nullptr);  // EINTR ends it early: the caller checks for a stop
}

void install_stop_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = record_stop_signal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART keeps a write of the listing from failing with EINTR (and
  // losing buffered lines); a sleep still ends on the signal, as nanosleep
  // is never restarted.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int stop_signal() {
  return g_stop_signal;
}

int finish_after_stop(DeviceLink& link, std::FILE* out) {
  std::fflush(out);
  link.stop();
  const int signal_number = g_stop_signal;
  if (signal_number != 0) {
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
  }
  return signal_number == 0 ? 0 : 128 + signal_number;
}

}  // namespace rawcan
