// The simulated device's command line, its usage text, and loading the
// candump log it replays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "candump.h"

namespace zelbor::sim {

struct Options {
  std::string address = "127.0.0.1";  // as given, for messages
  uint32_t address_ip = 0x7F000001;   // the same, parsed
  int channels = 2;
  double drop = 0.0;
  uint64_t seed = 0;        // which datagrams --drop drops
  bool seed_given = false;  // else one is drawn from the clock
  double generate = 0.0;    // frames a second; 0: no generator
  uint64_t count = 0;       // 0: without end
  std::string replay;
  uint64_t loops = 1;  // 0: without end
  std::string record;
  uint32_t bitrate = 500000;  // 0: an ideal bus
  uint32_t tx_queue = 64;
};

inline constexpr double kMaxGenerateRate = 1e7;
inline constexpr uint32_t kMinBitrate = 1000;
inline constexpr uint32_t kMaxBitrate = 1000000;
inline constexpr uint32_t kMaxTxQueue = 65536;

enum class ParseResult { kRun, kHelp, kBad };

// kBad for anything it does not take, --count without --generate and --loop
// without --replay included.
ParseResult parse_options(int argc, char** argv, Options& options);

void print_usage(std::FILE* out);

// Malformed lines reported one by one; the rest are counted.
inline constexpr unsigned kReportedMalformedLines = 5;

// Appends the frames of the candump log at `path` to `entries`, says on `out`
// how many it took and skipped, and names malformed lines on `errors`.
// False, with a line on `errors`, if the file cannot be read.
bool load_log(const std::string& path, std::vector<LogEntry>& entries, std::FILE* out,
              std::FILE* errors);

}  // namespace zelbor::sim
