// Numbers and addresses on a command line, read in full or refused: shared
// by the simulated device and the relay. (The programs read theirs as scanf
// does: parse_ipv4_like_scanf in device/connect.h.)
#pragma once

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

namespace rawcan {

inline bool parse_int(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) {
    return false;
  }
  value = static_cast<int>(parsed);
  return true;
}

// A real number from `lowest` (included unless `exclusive`) to `highest`.
inline bool parse_real(const char* text, double lowest, bool exclusive, double highest,
                       double& value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  const bool above_lowest = exclusive ? parsed > lowest : parsed >= lowest;
  if (errno != 0 || end == text || *end != '\0' || !(above_lowest && parsed <= highest)) {
    return false;
  }
  value = parsed;
  return true;
}

// A whole number of 0 or more, without a sign.
inline bool parse_count(const char* text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
    return false;
  }
  value = parsed;
  return true;
}

// A dotted IPv4 address, in host byte order.
inline bool parse_ipv4(const char* text, uint32_t& address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) {
    return false;
  }
  address = ntohl(parsed.s_addr);
  return true;
}

}  // namespace rawcan
