#include "options.h"

#include <cmath>

#include "option_numbers.h"
#include "ports.h"

namespace zelbor::relay {
namespace {

using rawcan::kMaxServedChannels;
using rawcan::parse_count;
using rawcan::parse_int;
using rawcan::parse_ipv4;
using rawcan::parse_real;

int64_t to_ns(double units, double ns_per_unit) {
  return std::llround(units * ns_per_unit);
}

// START+LENGTH in seconds; the split is at the first '+' that leaves two
// numbers, so an exponent such as 1e+3 stays whole.
bool parse_outage(const std::string& text, Outage& outage) {
  for (std::size_t plus = text.find('+', 1); plus != std::string::npos;
       plus = text.find('+', plus + 1)) {
    double start = 0, length = 0;
    if (parse_real(text.substr(0, plus).c_str(), 0, false, kMaxOutageSeconds, start) &&
        parse_real(text.substr(plus + 1).c_str(), 0, true, kMaxOutageSeconds, length)) {
      outage = {to_ns(start, 1e9), to_ns(length, 1e9)};
      return true;
    }
  }
  return false;
}

}  // namespace

void print_usage(std::FILE* out) {
  std::fprintf(
      out,
      "usage: zelbor_relay --listen IP --device IP [--channels N] [--loss P]\n"
      "                    [--loss-to-device P] [--loss-to-host P] [--duplicate P]\n"
      "                    [--reorder P] [--delay MS] [--jitter MS]\n"
      "                    [--outage START+LENGTH]... [--seed N]\n"
      "  --listen IP          IPv4 address hosts send to, as the device's (required)\n"
      "  --device IP          IPv4 address of the device, not the --listen one (required)\n"
      "  --channels N         number of channels, 1 to %d (default 2)\n"
      "  --loss P             fraction of datagrams to lose both ways, 0 to 1 (default 0)\n"
      "  --loss-to-device P   the same towards the device only (default: --loss)\n"
      "  --loss-to-host P     the same towards the hosts only (default: --loss)\n"
      "  --duplicate P        fraction of datagrams to send twice, 0 to 1 (default 0)\n"
      "  --reorder P          fraction of datagrams to send after the next one of the same\n"
      "                       host and direction, or alone after 10 ms, 0 to 1 (default 0)\n"
      "  --delay MS           one-way delay in milliseconds, 0 to %.0f (default 0)\n"
      "  --jitter MS          delay spread by up to +-MS, never below 0, 0 to %.0f\n"
      "                       (default 0)\n"
      "  --outage START+LENGTH  drop everything both ways from START for LENGTH seconds\n"
      "                       after the relay starts, 0 to %.0f each, LENGTH above 0;\n"
      "                       may be repeated (default: none)\n"
      "  --seed N             seed of the random choices, 0 to 2^64-1 (default: random)\n"
      "SIGUSR1 takes the link down, SIGUSR2 brings it up; SIGINT or SIGTERM print the\n"
      "totals and end the relay.\n",
      kMaxServedChannels, kMaxDelayMs, kMaxDelayMs, kMaxOutageSeconds);
}

ParseResult parse_options(int argc, char** argv, Options& options) {
  Impairments& impairments = options.impairments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      return ParseResult::kHelp;
    }
    if (i + 1 >= argc) {
      return ParseResult::kBad;
    }
    const char* value = argv[++i];
    double milliseconds = 0;
    bool valid = true;
    if (option == "--listen") {
      options.listen = value;
      valid = parse_ipv4(value, options.listen_ip);
    } else if (option == "--device") {
      options.device = value;
      valid = parse_ipv4(value, options.device_ip);
    } else if (option == "--channels") {
      valid = parse_int(value, options.channels) && options.channels >= 1 &&
              options.channels <= kMaxServedChannels;
    } else if (option == "--loss") {
      valid = parse_real(value, 0, false, 1, options.loss);
    } else if (option == "--loss-to-device") {
      valid = parse_real(value, 0, false, 1, options.loss_to_device);
    } else if (option == "--loss-to-host") {
      valid = parse_real(value, 0, false, 1, options.loss_to_host);
    } else if (option == "--duplicate") {
      valid = parse_real(value, 0, false, 1, impairments.duplicate);
    } else if (option == "--reorder") {
      valid = parse_real(value, 0, false, 1, impairments.reorder);
    } else if (option == "--delay" || option == "--jitter") {
      valid = parse_real(value, 0, false, kMaxDelayMs, milliseconds);
      (option == "--delay" ? impairments.delay_ns : impairments.jitter_ns) =
          to_ns(milliseconds, 1e6);
    } else if (option == "--outage") {
      Outage outage{};
      valid = parse_outage(value, outage);
      impairments.outages.push_back(outage);
    } else if (option == "--seed") {
      valid = parse_count(value, options.seed);
      options.seed_given = true;
    } else {
      valid = false;
    }
    if (!valid) {
      return ParseResult::kBad;
    }
  }
  const auto direction_loss = [&options](double given) { return given < 0 ? options.loss : given; };
  impairments.loss[static_cast<int>(Direction::kToDevice)] = direction_loss(options.loss_to_device);
  impairments.loss[static_cast<int>(Direction::kToHost)] = direction_loss(options.loss_to_host);
  return !options.listen.empty() && !options.device.empty() ? ParseResult::kRun : ParseResult::kBad;
}

}  // namespace zelbor::relay
