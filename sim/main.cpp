// zelbor_sim: a simulated device on UDP, one endpoint per channel c at
// IP:34567+2c, all channels on one bus. Options: the usage text in options.cpp.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "arrivals.h"
#include "clock.h"
#include "options.h"
#include "ports.h"
#include "signals.h"
#include "simulation.h"
#include "udp.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void request_stop(int) {
  g_stop = 1;
}

class SocketOutbox final : public zelbor::sim::Outbox {
 public:
  explicit SocketOutbox(const std::vector<int>& sockets) : sockets_(sockets) {}
  bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) override {
    return zelbor::udp::send_datagram(zelbor::system_socket_ops(), sockets_[channel], bytes, size,
                                      to, tally_);
  }

 private:
  const std::vector<int>& sockets_;
  zelbor::udp::SendTally tally_{};
};

void cannot_record(const std::string& path, int error) {
  std::fprintf(stderr, "zelbor_sim: cannot write %s: %s\n", path.c_str(), std::strerror(error));
}

}  // namespace

int main(int argc, char** argv) {
  zelbor::sim::Options options;
  switch (zelbor::sim::parse_options(argc, argv, options)) {
    case zelbor::sim::ParseResult::kRun:
      break;
    case zelbor::sim::ParseResult::kHelp:
      zelbor::sim::print_usage(stdout);
      return 0;
    case zelbor::sim::ParseResult::kBad:
      zelbor::sim::print_usage(stderr);
      return 2;
  }
  std::vector<zelbor::sim::LogEntry> log;
  if (!options.replay.empty()) {
    if (!zelbor::sim::load_log(options.replay, log, stdout, stderr)) {
      return 1;
    }
    if (log.empty()) {
      std::fprintf(stderr, "zelbor_sim: %s has no frames to play\n", options.replay.c_str());
      return 1;
    }
  }
  std::vector<int> sockets;
  for (int channel = 0; channel < options.channels; ++channel) {
    const int port = rawcan::device_port_of(channel);
    const int fd = zelbor::open_udp_socket(options.address_ip, static_cast<uint16_t>(port),
                                           zelbor::udp::kReceiveBufferBytes);
    if (fd < 0 || !zelbor::stamp_arrivals(fd)) {
      std::fprintf(stderr, "zelbor_sim: cannot serve channel %d on %s:%d: %s\n", channel,
                   options.address.c_str(), port, std::strerror(errno));
      return 1;
    }
    sockets.push_back(fd);
  }

  zelbor::install_signal_handler(request_stop, {SIGINT, SIGTERM}, false);

  const int64_t started_ns = zelbor::monotonic_ns();
  zelbor::sim::SimulationSettings settings;
  settings.channels = options.channels;
  const uint64_t drop_seed =
      options.seed_given ? options.seed : static_cast<uint64_t>(zelbor::realtime_ns());
  settings.faults = {options.drop, drop_seed};
  settings.seed = zelbor::random_seed();
  settings.start_ns = started_ns;
  settings.events = stdout;
  settings.bus = {options.bitrate, options.tx_queue};
  settings.generate = options.generate;
  settings.count = options.count;
  settings.replay = std::move(log);
  settings.loops = options.loops;
  zelbor::sim::Simulation simulation(std::move(settings));
  if (!options.record.empty() &&
      !simulation.record_to(options.record, zelbor::realtime_ns() - zelbor::monotonic_ns())) {
    cannot_record(options.record, simulation.recording_error());
    return 1;
  }
  SocketOutbox outbox(sockets);
  char bus_text[64];
  if (options.bitrate == 0) {
    std::snprintf(bus_text, sizeof bus_text, "an ideal bus (no timing, no queues)");
  } else {
    std::snprintf(bus_text, sizeof bus_text, "a %u bit/s bus", options.bitrate);
  }
  if (options.drop > 0) {
    std::printf("zelbor_sim: dropping %g of the datagrams to hosts, seed %llu\n", options.drop,
                static_cast<unsigned long long>(drop_seed));
  }
  std::printf("zelbor_sim: serving %d channel%s on %s, ports %d to %d, %s\n", options.channels,
              options.channels == 1 ? "" : "s", options.address.c_str(), rawcan::device_port_of(0),
              rawcan::device_port_of(options.channels - 1), bus_text);
  std::fflush(stdout);

  std::vector<pollfd> descriptors;
  for (const int fd : sockets) {
    descriptors.push_back(pollfd{fd, POLLIN, 0});
  }
  zelbor::sim::Arrivals arrivals(options.channels);
  const auto receive = [&](int channel, zelbor::DatagramSlot* slots, int count) {
    return (descriptors[channel].revents & POLLIN) == 0
               ? 0
               : zelbor::udp::receive_batch(zelbor::system_socket_ops(), sockets[channel], slots,
                                            count);
  };
  const auto handle = [&](int channel, const zelbor::DatagramSlot& slot, int64_t arrival_ns) {
    // A datagram cut by the kernel is handed over as empty, so it counts as malformed.
    simulation.handle(channel, slot.source, slot.bytes, slot.cut ? 0 : slot.size, arrival_ns,
                      outbox);
  };

  while (g_stop == 0 && !simulation.finished()) {
    const int64_t before_ns = zelbor::monotonic_ns();
    const int64_t wait_ns = arrivals.pending() ? 0 : simulation.next_wake_ns(before_ns) - before_ns;
    // Wake once the next thing is due, to the millisecond.
    const int timeout_ms = wait_ns <= 0 ? 0 : static_cast<int>((wait_ns + 999'999) / 1'000'000);
    if (::poll(descriptors.data(), descriptors.size(), timeout_ms) < 0 && errno != EINTR) {
      std::perror("zelbor_sim: poll");
      return 1;
    }
    const int64_t heard_until = arrivals.drain(zelbor::monotonic_ns(), receive, handle);
    simulation.step(heard_until, outbox);
  }
  const bool recorded = simulation.close_recording();
  if (!recorded) {
    cannot_record(options.record, simulation.recording_error());
  }
  const zelbor::sim::SimDevice& device = simulation.device();
  if (const zelbor::sim::Generator* generator = simulation.generator()) {
    std::printf("generated %llu frames\n", static_cast<unsigned long long>(generator->generated()));
  }
  if (const zelbor::sim::Replayer* replayer = simulation.replayer()) {
    std::printf("replayed %llu frames\n", static_cast<unsigned long long>(replayer->replayed()));
  }
  if (simulation.late() != 0) {
    std::printf(
        "late: %llu generated or replayed frames went on the bus after their time (the "
        "device could not keep up)\n",
        static_cast<unsigned long long>(simulation.late()));
  }
  const zelbor::sim::Bus& bus = device.bus();
  const double seconds = static_cast<double>(zelbor::monotonic_ns() - started_ns) * 1e-9;
  if (options.bitrate == 0) {
    std::printf("bus: ideal, %.3f s\n", seconds);
  } else {
    std::printf("bus: %u bit/s, busy %.1f %% of %.3f s\n", options.bitrate,
                seconds > 0 ? 100.0 * static_cast<double>(bus.busy_ns()) * 1e-9 / seconds : 0.0,
                seconds);
  }
  for (int node = 0; node < bus.nodes(); ++node) {
    const zelbor::sim::NodeStats& queue = bus.stats(node);
    if (queue.offered != 0) {
      std::printf("queue %s: offered %llu, on the bus %llu, dropped %llu, left queued %zu\n",
                  device.node_name(node).c_str(), static_cast<unsigned long long>(queue.offered),
                  static_cast<unsigned long long>(queue.sent),
                  static_cast<unsigned long long>(queue.dropped), bus.queued(node));
    }
  }
  for (int channel = 0; channel < options.channels; ++channel) {
    const zelbor::sim::ChannelStats& stats = device.stats(channel);
    std::printf(
        "channel %d: frames in %llu, frames out %llu, dropped %llu (datagrams dropped %llu), "
        "control records given up %llu, repeats %llu, refused %llu, not read in time %llu\n",
        channel, static_cast<unsigned long long>(stats.frames_in),
        static_cast<unsigned long long>(stats.frames_out),
        static_cast<unsigned long long>(stats.dropped),
        static_cast<unsigned long long>(stats.datagrams_dropped),
        static_cast<unsigned long long>(stats.controls_dropped),
        static_cast<unsigned long long>(stats.repeats),
        static_cast<unsigned long long>(stats.refused),
        static_cast<unsigned long long>(zelbor::socket_drops(sockets[channel])));
  }
  std::fflush(stdout);
  for (const int fd : sockets) {
    ::close(fd);
  }
  return recorded ? 0 : 1;
}
