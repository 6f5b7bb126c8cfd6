// windows.h first: the headers after it need its types.
#include <windows.h>

#include <io.h>
#include <timeapi.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace rawcan::platform {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_running{false};

// Closing the console ends the process once the handler returns; this long
// is left for the loop to stop the interface in order.
constexpr DWORD kCloseGraceMs = 2000;

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (!g_running) {
    // Start-up can wait up to a second inside the library, which is not
    // ours to interrupt: end now, as Windows' own handler would (Wine's
    // ends with status 0).
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  }
  g_stop = true;
  if (event == CTRL_CLOSE_EVENT) {
    Sleep(kCloseGraceMs);  // the main thread ends the process meanwhile
  }
  return TRUE;
}

}  // namespace

void sleep_ms(int milliseconds) {
  Sleep(static_cast<DWORD>(milliseconds));
}

void prepare_process() {
  SetConsoleCtrlHandler(on_console_event, TRUE);
  timeBeginPeriod(1);  // given back by the system when the process ends
}

void mark_running() {
  g_running = true;
}

bool stop_requested() {
  return g_stop;
}

// ExitProcess does not flush the C runtime's streams: the loss line would stay behind.
void end_by_stop() {
  std::fflush(nullptr);
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void end_after_closed_pipe() {
  std::fflush(nullptr);
  ExitProcess(1);
}

int64_t write_some(int fd, const char* bytes, std::size_t size) {
  const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
  SetLastError(0);  // so that an error below is this write's own
  const int written = _write(fd, bytes, chunk);
  const DWORD error = GetLastError();
  if (written < 0 &&
      (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)) {
    errno = EPIPE;  // the C runtime calls a pipe closed by its reader EINVAL
  }
  return written;
}

bool is_terminal(int fd) {
  return _isatty(fd) != 0;
}

void* library_call(const void* known_call, const char* name) {
  // Found by address, so the library's file may have any name.
  HMODULE library = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(known_call), &library) == 0) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}

std::string_view program_name(const char* program_path) {
  std::string_view name(program_path);
  const std::size_t separator = name.find_last_of("/\\:");
  if (separator != std::string_view::npos) {
    name.remove_prefix(separator + 1);
  }
  if (name.size() > 4 && _stricmp(name.data() + name.size() - 4, ".exe") == 0) {
    name.remove_suffix(4);
  }
  return name;
}

}  // namespace rawcan::platform
