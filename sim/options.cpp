#include "options.h"
#include "ports.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "option_numbers.h"
#include "sim_device.h"

namespace zelbor::sim {
namespace {

using rawcan::parse_count;
using rawcan::parse_int;
using rawcan::parse_ipv4;
using rawcan::parse_real;

bool parse_option(const std::string& option, const char* value, Options& options,
                  bool& loops_given) {
  if (option == "--address") {
    options.address = value;
    return parse_ipv4(value, options.address_ip);
  }
  if (option == "--channels") {
    return parse_int(value, options.channels) && options.channels >= 1 &&
           options.channels <= rawcan::kMaxServedChannels;
  }
  if (option == "--drop") {
    return parse_real(value, 0.0, false, 1.0, options.drop);
  }
  if (option == "--seed") {
    options.seed_given = true;
    return parse_count(value, options.seed);
  }
  if (option == "--generate") {
    return parse_real(value, 0.0, true, kMaxGenerateRate, options.generate);
  }
  if (option == "--count") {
    return parse_count(value, options.count) && options.count != 0;
  }
  if (option == "--replay" || option == "--record") {
    (option == "--replay" ? options.replay : options.record) = value;
    return value[0] != '\0';
  }
  if (option == "--bitrate") {
    uint64_t bitrate = 0;
    if (!parse_count(value, bitrate) ||
        (bitrate != 0 && (bitrate < kMinBitrate || bitrate > kMaxBitrate))) {
      return false;
    }
    options.bitrate = static_cast<uint32_t>(bitrate);
    return true;
  }
  if (option == "--tx-queue") {
    uint64_t frames = 0;
    if (!parse_count(value, frames) || frames < 1 || frames > kMaxTxQueue) {
      return false;
    }
    options.tx_queue = static_cast<uint32_t>(frames);
    return true;
  }
  if (option == "--loop") {
    loops_given = true;
    return parse_count(value, options.loops);
  }
  return false;
}

}  // namespace

ParseResult parse_options(int argc, char** argv, Options& options) {
  bool loops_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      return ParseResult::kHelp;
    }
    if (i + 1 >= argc || !parse_option(option, argv[i + 1], options, loops_given)) {
      return ParseResult::kBad;
    }
    ++i;
  }
  if ((options.count != 0 && options.generate <= 0) || (loops_given && options.replay.empty()) ||
      (options.seed_given && options.drop <= 0)) {
    return ParseResult::kBad;
  }
  return ParseResult::kRun;
}

void print_usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: zelbor_sim [--address IP] [--channels N] [--bitrate B] [--tx-queue K]\n"
      "                  [--drop P [--seed N]] [--generate RATE [--count N]]\n"
      "                  [--replay FILE [--loop N]] [--record FILE]\n"
      "  --address IP     IPv4 address to serve on (default 127.0.0.1)\n"
      "  --channels N     number of channels, 1 to %d (default 2)\n"
      "  --bitrate B      bits a second on the bus, 1000 to 1000000, or 0 for an ideal\n"
      "                   bus that carries any number of frames at once (default 500000)\n"
      "  --tx-queue K     frames each sender's transmit queue holds, 1 to 65536\n"
      "                   (default 64); frames beyond are dropped and counted\n"
      "  --drop P         fraction of datagrams to hosts to drop, 0 to 1 (default 0)\n"
      "  --seed N         which ones: the same seed drops the same datagrams; needs\n"
      "                   --drop above 0 (default: from the clock, printed at the start)\n"
      "  --generate RATE  put RATE frames a second on the bus, above 0 and at most\n"
      "                   10,000,000, from the moment the first host listens (default: none)\n"
      "  --count N        stop generating after N frames, 1 or more; needs --generate\n"
      "                   (default: without end)\n"
      "  --replay FILE    put the frames of a candump log on the bus with their spacing\n"
      "                   from the moment the first host listens, then exit\n"
      "  --loop N         play the log N times, 0 for without end; needs --replay\n"
      "                   (default 1)\n"
      "  --record FILE    append every frame on the bus to FILE as a candump log,\n"
      "                   each at the moment its end of frame passed\n"
      "  --help           print this and exit 0\n"
      "exit status: 0 after SIGINT or SIGTERM or at the end of a replay; 1 if a channel\n"
      "cannot be served, the log cannot be read or has no frames to play, or FILE of\n"
      "--record cannot be written; 2 for a bad option\n",
      rawcan::kMaxServedChannels);
}

bool load_log(const std::string& path, std::vector<LogEntry>& entries, std::FILE* out,
              std::FILE* errors) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    std::fprintf(errors, "zelbor_sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  unsigned long long line_number = 0, remote = 0, fd = 0, error_frames = 0, malformed = 0;
  // Far longer than any line of the format: a longer one (a binary file) is
  // malformed and read past, so memory stays bounded.
  constexpr std::size_t kLongestLine = 1024;
  std::string line;
  for (;;) {
    line.clear();
    bool too_long = false;
    int c = 0;
    while ((c = getc_unlocked(file)) != EOF && c != '\n') {
      too_long = too_long || line.size() == kLongestLine;
      if (!too_long) {
        line.push_back(static_cast<char>(c));
      }
    }
    if (c == EOF && line.empty()) {
      break;
    }
    ++line_number;
    LogEntry entry{};
    const LogLine kind = too_long ? LogLine::kMalformed : parse_candump_line(line, entry);
    switch (kind) {
      case LogLine::kFrame:
        entries.push_back(entry);
        break;
      case LogLine::kSkipped:
        break;
      case LogLine::kRemote:
        ++remote;
        break;
      case LogLine::kFd:
        ++fd;
        break;
      case LogLine::kError:
        ++error_frames;
        break;
      case LogLine::kMalformed:
        if (++malformed <= kReportedMalformedLines) {
          std::fprintf(errors, "zelbor_sim: %s:%llu: malformed line skipped\n", path.c_str(),
                       line_number);
        }
        break;
    }
  }
  const bool read_error = std::ferror(file) != 0;
  std::fclose(file);
  if (read_error) {
    std::fprintf(errors, "zelbor_sim: cannot read %s\n", path.c_str());
    return false;
  }
  if (malformed > kReportedMalformedLines) {
    std::fprintf(errors, "zelbor_sim: %s: %llu more malformed lines skipped\n", path.c_str(),
                 malformed - kReportedMalformedLines);
  }
  std::fprintf(out,
               "replay: %zu frames from %s (skipped %llu remote-request, %llu CAN FD, %llu "
               "error-frame, %llu malformed lines)\n",
               entries.size(), path.c_str(), remote, fd, error_frames, malformed);
  return true;
}

}  // namespace zelbor::sim
