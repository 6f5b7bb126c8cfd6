// The relay's command line and its usage text.
#pragma once

#include <cstdio>
#include <string>

#include "impairment.h"

namespace zelbor::relay {

inline constexpr std::size_t kMaxHostsPerChannel = 16;
inline constexpr double kMaxDelayMs = 60000;
inline constexpr double kMaxOutageSeconds = 1e6;

struct Options {
  std::string listen;  // as given, for messages
  std::string device;
  uint32_t listen_ip = 0;  // the same, parsed
  uint32_t device_ip = 0;
  int channels = 2;
  double loss = 0;
  double loss_to_device = -1;  // below 0: as --loss
  double loss_to_host = -1;
  Impairments impairments;
  uint64_t seed = 0;
  bool seed_given = false;
};

enum class ParseResult { kRun, kHelp, kBad };

// kBad for anything it does not take, and without both addresses.
ParseResult parse_options(int argc, char** argv, Options& options);

void print_usage(std::FILE* out);

}  // namespace zelbor::relay
