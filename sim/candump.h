// The log format of the Linux can-utils (candump -l, canplayer), one frame a
// line:
//
//   (1436509052.249713) can0 123#DEADBEEF     standard frame, 4 data bytes
//   (1436509052.249713) can0 12345678#00      extended frame (8 hex digits)
//   (1436509052.249713) can0 123#             no data
//   (1436509052.249713) can0 123#R            remote request: skipped
//   (1436509052.249713) can0 123##1DEAD       CAN FD: skipped
//   (1436509052.249713) can0 20000080#00...   error frame (bit 29 of the id): skipped
//   (1436509052.249713) can0 079#F2 R         direction flag, R received or T sent
//
// Blank lines and lines starting with '#' are skipped. Data bytes may be
// separated by dots (DE.AD.BE.EF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "can_frame.h"
#include "zelbor.h"

namespace zelbor::sim {

enum class LogLine { kFrame, kSkipped, kRemote, kFd, kError, kMalformed };

struct LogEntry {
  int64_t time_us;  // the line's absolute time in microseconds
  RawCanMessage frame;
};

LogLine parse_candump_line(std::string_view line, LogEntry& entry);

// Longest line: "(" 20 digits "." 6 digits ") zelbor" 2 digits " " 8 "#" 16 "\n".
inline constexpr std::size_t kMaxCandumpLine = 80;

// Writes one log line for `frame` on interface zelbor<channel>; returns its size.
std::size_t format_candump_line(int64_t time_us, int channel, const RawCanMessage& frame,
                                char* out);

}  // namespace zelbor::sim
