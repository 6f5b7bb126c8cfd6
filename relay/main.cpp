// zelbor_relay: stands between hosts and the simulated device and impairs
// the link (loss, duplicates, reordering, delay, outages): options.h for its
// command line, relay.h for the relay, impairment.h for the rules.
#include <signal.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "clock.h"
#include "options.h"
#include "ports.h"
#include "relay.h"
#include "signals.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_forced_down = 0;

extern "C" void handle_signal(int signal_number) {
  if (signal_number == SIGUSR1) {
    g_forced_down = 1;
  } else if (signal_number == SIGUSR2) {
    g_forced_down = 0;
  } else {
    g_stop = 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  zelbor::relay::Options options;
  switch (zelbor::relay::parse_options(argc, argv, options)) {
    case zelbor::relay::ParseResult::kRun:
      break;
    case zelbor::relay::ParseResult::kHelp:
      zelbor::relay::print_usage(stdout);
      return 0;
    case zelbor::relay::ParseResult::kBad:
      zelbor::relay::print_usage(stderr);
      return 2;
  }
  if (options.listen_ip == options.device_ip) {
    std::fprintf(stderr,
                 "zelbor_relay: --listen and --device must be different addresses: the relay "
                 "and the device both use ports %d+2c\n",
                 static_cast<int>(rawcan::kDeviceBasePort));
    return 2;
  }

  // The signals arrive only while the relay waits in ppoll, so a round sees
  // one link state from start to end.
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal_number : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) {
    sigaddset(&handled, signal_number);
  }
  sigset_t wait_mask;
  sigprocmask(SIG_BLOCK, &handled, &wait_mask);
  zelbor::install_signal_handler(handle_signal, {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}, false);

  const uint64_t seed = options.seed_given ? options.seed : zelbor::random_seed();
  zelbor::relay::SeededRandom random(seed);
  zelbor::relay::Impairer impairer(options.impairments, random, zelbor::monotonic_ns());
  auto relay =
      std::make_unique<zelbor::relay::Relay>(options, impairer);  // large buffers: not on the stack
  if (!relay->bind_listeners()) {
    return 1;
  }
  std::printf("zelbor_relay: seed %llu\n", static_cast<unsigned long long>(seed));
  std::printf("zelbor_relay: relaying %d channel%s from %s to %s\n", options.channels,
              options.channels == 1 ? "" : "s", options.listen.c_str(), options.device.c_str());
  std::fflush(stdout);

  while (g_stop == 0) {
    if (!relay->run_once(wait_mask, g_forced_down != 0)) {
      return 1;
    }
  }
  zelbor::relay::print_totals(impairer, impairer.discard_pending());
  return 0;
}
