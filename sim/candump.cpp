#include "candump.h"

#include <cstdio>

namespace zelbor::sim {
namespace {

using rawcan::kExtendedIdMask;
using rawcan::kStandardIdMask;
constexpr uint32_t kErrorFrameFlag = 0x20000000;

int hex_value(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return -1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && is_space(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// "(seconds.fraction)" to microseconds; false if it is not that.
bool parse_time(std::string_view text, int64_t& time_us) {
  if (text.size() < 3 || text.front() != '(' || text.back() != ')') {
    return false;
  }
  text = text.substr(1, text.size() - 2);
  const std::size_t dot = text.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot > 12 || text.size() - dot - 1 > 9 ||
      text.size() == dot + 1) {
    return false;
  }
  int64_t seconds = 0;
  for (std::size_t i = 0; i < dot; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    seconds = seconds * 10 + (text[i] - '0');
  }
  int64_t micros = 0;
  int digits = 0;
  for (std::size_t i = dot + 1; i < text.size(); ++i, ++digits) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
    if (digits < 6) {
      micros = micros * 10 + (text[i] - '0');
    }
  }
  for (; digits < 6; ++digits) {
    micros *= 10;
  }
  time_us = seconds * 1000000 + micros;
  return true;
}

}  // namespace

LogLine parse_candump_line(std::string_view line, LogEntry& entry) {
  line = trim(line);
  if (line.empty() || line.front() == '#') {
    return LogLine::kSkipped;
  }
  const std::size_t time_end = line.find_first_of(" \t");
  if (time_end == std::string_view::npos || !parse_time(line.substr(0, time_end), entry.time_us)) {
    return LogLine::kMalformed;
  }
  std::string_view rest = trim(line.substr(time_end));
  const std::size_t interface_end = rest.find_first_of(" \t");
  if (interface_end == std::string_view::npos) {
    return LogLine::kMalformed;
  }
  std::string_view frame_text = trim(rest.substr(interface_end));
  const std::size_t frame_end = frame_text.find_first_of(" \t");
  if (frame_end != std::string_view::npos) {
    const std::string_view direction = trim(frame_text.substr(frame_end));
    if (direction != "R" && direction != "T" && direction != "r" && direction != "t") {
      return LogLine::kMalformed;
    }
    frame_text = frame_text.substr(0, frame_end);
  }
  const std::size_t hash = frame_text.find('#');
  if (hash == std::string_view::npos || (hash != 3 && hash != 8)) {
    return LogLine::kMalformed;
  }
  uint32_t id = 0;
  for (std::size_t i = 0; i < hash; ++i) {
    const int digit = hex_value(frame_text[i]);
    if (digit < 0) {
      return LogLine::kMalformed;
    }
    id = id << 4 | static_cast<uint32_t>(digit);
  }
  const bool extended = hash == 8;
  if (extended && (id & kErrorFrameFlag) != 0 && id <= (kErrorFrameFlag | kExtendedIdMask)) {
    return LogLine::kError;
  }
  if ((extended && id > kExtendedIdMask) || (!extended && id > kStandardIdMask)) {
    return LogLine::kMalformed;
  }
  std::string_view data = frame_text.substr(hash + 1);
  if (!data.empty() && data.front() == '#') {
    return LogLine::kFd;
  }
  if (!data.empty() && (data.front() == 'R' || data.front() == 'r')) {
    return LogLine::kRemote;
  }
  RawCanMessage frame{};
  frame.id = extended ? (id | RAW_CAN_EXTENDED_FLAG) : id;
  int length = 0;
  while (!data.empty()) {
    if (data.front() == '.') {
      data.remove_prefix(1);
      continue;
    }
    if (data.size() < 2 || length == RAW_CAN_MAX_DATA) {
      return LogLine::kMalformed;
    }
    const int high = hex_value(data[0]);
    const int low = hex_value(data[1]);
    if (high < 0 || low < 0) {
      return LogLine::kMalformed;
    }
    frame.data[length++] = static_cast<uint8_t>(high << 4 | low);
    data.remove_prefix(2);
  }
  frame.length = static_cast<int8_t>(length);
  entry.frame = frame;
  return LogLine::kFrame;
}

std::size_t format_candump_line(int64_t time_us, int channel, const RawCanMessage& frame,
                                char* out) {
  int used = std::snprintf(
      out, kMaxCandumpLine,
      rawcan::is_extended(frame) ? "(%lld.%06lld) zelbor%d %08X#" : "(%lld.%06lld) zelbor%d %03X#",
      static_cast<long long>(time_us / 1000000), static_cast<long long>(time_us % 1000000), channel,
      rawcan::identifier(frame));
  const int length = rawcan::data_length(frame);
  for (int i = 0; i < length; ++i) {
    used += std::snprintf(out + used, kMaxCandumpLine - static_cast<std::size_t>(used), "%02X",
                          frame.data[i]);
  }
  out[used++] = '\n';
  return static_cast<std::size_t>(used);
}

}  // namespace zelbor::sim
