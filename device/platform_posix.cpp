#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"
#include "signals.h"

namespace rawcan::platform {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;
volatile std::sig_atomic_t g_running = 0;

// Async-signal-safe: sigaction, sigprocmask and raise only.
void raise_with_default_action(int signal_number) {
  zelbor::install_signal_handler(SIG_DFL, {signal_number}, false);
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

}  // namespace

void sleep_ms(int milliseconds) {
  const timespec duration{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  nanosleep(&duration, nullptr);  // EINTR ends it early: the caller checks for a stop
}

void prepare_process() {
  // SA_RESTART: a write of the listing is not cut short by the signal.
  zelbor::install_signal_handler(on_stop_signal, {SIGINT, SIGTERM, SIGHUP}, true);
  std::signal(SIGPIPE, SIG_IGN);
}

void mark_running() {
  g_running = 1;
}

bool stop_requested() {
  return g_stop_signal != 0;
}

void end_by_stop() {
  end_by_signal(g_stop_signal);
}

void end_after_closed_pipe() {
  end_by_signal(SIGPIPE);
}

int64_t write_some(int fd, const char* bytes, std::size_t size) {
  for (;;) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      return written;
    }
    pollfd writable{fd, POLLOUT, 0};  // standard output left non-blocking by its owner
    ::poll(&writable, 1, -1);
  }
}

bool is_terminal(int fd) {
  return isatty(fd) == 1;
}

void* library_call(const void* /*known_call*/, const char* name) {
  return dlsym(RTLD_DEFAULT, name);  // the programs load one library
}

std::string_view program_name(const char* program_path) {
  const char* slash = std::strrchr(program_path, '/');
  return slash == nullptr ? program_path : slash + 1;
}

}  // namespace rawcan::platform
