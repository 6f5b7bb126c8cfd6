// What the programs do differently on each system, behind one seam: the
// pause, the stop request, the process's end, standard output's writes and
// the optional call of the loaded library. platform_posix.cpp and
// platform_windows.cpp implement it; nothing else names a system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rawcan::platform {

// Sleeps the calling thread (`Sleep` on Windows); on POSIX systems a stop
// signal ends the sleep early.
void sleep_ms(int milliseconds);

// Installs the stop handlers; on Windows also asks for a 1 ms timer, so
// that a pause lasts what it says and not a multiple of a 15.6 ms tick.
// Until mark_running() a stop request (SIGINT, SIGTERM, SIGHUP; Ctrl-C,
// Ctrl-Break, closing the console) ends the program at once with the
// system's status for it; from then on stop_requested() tells, and the loop
// ends in order. Closed pipes show as failed writes, not as signals.
void prepare_process();
void mark_running();
bool stop_requested();

// Ends the process with the status of the stop it was asked for: the signal
// itself on POSIX systems, STATUS_CONTROL_C_EXIT on Windows.
[[noreturn]] void end_by_stop();
// Ends the process quietly after its reader went away: SIGPIPE's status on
// POSIX systems, status 1 on Windows.
[[noreturn]] void end_after_closed_pipe();

// Writes what it can of `bytes` to `fd`, waiting for room if the file was
// left non-blocking: the count written, or -1 with errno. On Windows
// standard output stays in text mode, so "\n" is written as "\r\n".
int64_t write_some(int fd, const char* bytes, std::size_t size);
bool is_terminal(int fd);

// The call `name` of the loaded library that holds `known_call`, or
// nullptr if that library has no such call.
void* library_call(const void* known_call, const char* name);

// The program's name from its path: the last part, without ".exe" on Windows.
std::string_view program_name(const char* program_path);

}  // namespace rawcan::platform
