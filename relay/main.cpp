// zelbor_relay --listen IP --device IP [impairments]: forwards each channel's
// UDP datagrams between hosts and the device byte for byte, losing,
// duplicating, reordering and delaying them on purpose.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "impairment.h"
#include "option_numbers.h"
#include "ports.h"
#include "signals.h"
#include "udp.h"

namespace {

using zelbor::relay::Datagram;
using zelbor::relay::Direction;
using zelbor::relay::Impairer;
using zelbor::relay::Impairments;
using zelbor::sim::parse_count;
using zelbor::sim::parse_int;
using zelbor::sim::parse_ipv4;
using zelbor::sim::parse_real;

using rawcan::kDeviceBasePort;
using rawcan::kMaxServedChannels;
constexpr std::size_t kMaxHostsPerChannel = 16;
constexpr double kMaxDelayMs = 60000;
constexpr double kMaxOutageSeconds = 1e6;

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

int64_t to_ns(double units, double ns_per_unit) {
  return std::llround(units * ns_per_unit);
}

// START+LENGTH in seconds; the split is at the first '+' that leaves two
// numbers, so an exponent such as 1e+3 stays whole.
bool parse_outage(const std::string& text, zelbor::relay::Outage& outage) {
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

bool parse_options(int argc, char** argv, Options& options) {
  Impairments& impairments = options.impairments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      print_usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      return false;
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
      zelbor::relay::Outage outage{};
      valid = parse_outage(value, outage);
      impairments.outages.push_back(outage);
    } else if (option == "--seed") {
      valid = parse_count(value, options.seed);
      options.seed_given = true;
    } else {
      valid = false;
    }
    if (!valid) {
      return false;
    }
  }
  const auto direction_loss = [&options](double given) { return given < 0 ? options.loss : given; };
  impairments.loss[static_cast<int>(Direction::kToDevice)] = direction_loss(options.loss_to_device);
  impairments.loss[static_cast<int>(Direction::kToHost)] = direction_loss(options.loss_to_host);
  return !options.listen.empty() && !options.device.empty();
}

// A nonblocking UDP socket on the listen address with a large receive buffer, or -1.
int listening_socket(const Options& options, int port) {
  return zelbor::open_udp_socket(options.listen_ip, static_cast<uint16_t>(port),
                                 zelbor::udp::kReceiveBufferBytes);
}

struct Host {
  sockaddr_in address;
  int upstream;  // bound to the listen address, connected to the device
  uint64_t flow;
  int64_t last_heard_ns;
};

struct Channel {
  int listener = -1;
  sockaddr_in device{};
  std::vector<Host> hosts;
};

class Relay {
 public:
  Relay(const Options& options, Impairer& impairer)
      : options_(options), impairer_(impairer), channels_(options.channels) {}
  ~Relay() {
    for (Channel& channel : channels_) {
      for (const Host& host : channel.hosts) {
        ::close(host.upstream);
      }
      if (channel.listener >= 0) {
        ::close(channel.listener);
      }
    }
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  bool bind_listeners() {
    for (int c = 0; c < options_.channels; ++c) {
      const int port = rawcan::device_port_of(c);
      channels_[c].device = zelbor::ipv4_endpoint(options_.device_ip, static_cast<uint16_t>(port));
      channels_[c].listener = listening_socket(options_, port);
      if (channels_[c].listener < 0) {
        std::fprintf(stderr, "zelbor_relay: cannot listen for channel %d on %s:%d: %s\n", c,
                     options_.listen.c_str(), port, std::strerror(errno));
        return false;
      }
    }
    return true;
  }

  // One round: report the link's state, send what is due, wait for input
  // until the next event, and take it in.
  bool run_once(const sigset_t& wait_mask) {
    int64_t now = zelbor::monotonic_ns();
    impairer_.set_forced_down(g_forced_down != 0);
    if (const auto down = impairer_.link_down_change(now)) {
      std::printf("link %s\n", *down ? "down" : "up");
      std::fflush(stdout);
    }
    due_.clear();
    impairer_.take_due(now, due_);
    for (const Datagram& datagram : due_) {
      impairer_.record_send(datagram.route.direction, send(datagram));
    }

    descriptors_.clear();
    for (const Channel& channel : channels_) {
      descriptors_.push_back(pollfd{channel.listener, POLLIN, 0});
      for (const Host& host : channel.hosts) {
        descriptors_.push_back(pollfd{host.upstream, POLLIN, 0});
      }
    }
    // At most a second, so a missed wake-up can never stall the relay.
    const int64_t wait_ns =
        std::clamp<int64_t>(impairer_.next_event_ns(now) - now, 0, 1'000'000'000);
    const timespec timeout{static_cast<time_t>(wait_ns / 1'000'000'000),
                           static_cast<long>(wait_ns % 1'000'000'000)};
    if (::ppoll(descriptors_.data(), descriptors_.size(), &timeout, &wait_mask) < 0) {
      if (errno == EINTR) {
        return true;
      }
      std::perror("zelbor_relay: poll");
      return false;
    }
    // The host lists may change while reading, so the ready sockets are
    // collected first.
    ready_.clear();
    std::size_t index = 0;
    for (int c = 0; c < options_.channels; ++c) {
      if ((descriptors_[index++].revents & (POLLIN | POLLERR)) != 0) {
        ready_.push_back(Ready{c, 0, true});
      }
      for (const Host& host : channels_[c].hosts) {
        if ((descriptors_[index++].revents & (POLLIN | POLLERR)) != 0) {
          ready_.push_back(Ready{c, host.flow, false});
        }
      }
    }
    for (const Ready& ready : ready_) {
      if (ready.listener) {
        receive_from_hosts(ready.channel);
      } else {
        receive_from_device(ready.channel, ready.flow);
      }
    }
    return true;
  }

 private:
  struct Ready {
    int channel;
    uint64_t flow;
    bool listener;
  };
  static constexpr int kRounds = 16;

  static int channel_of(uint64_t flow) { return static_cast<int>(flow % kMaxServedChannels); }

  Host* find_host(int channel, uint64_t flow) {
    for (Host& host : channels_[channel].hosts) {
      if (host.flow == flow) {
        return &host;
      }
    }
    return nullptr;
  }

  // The host's entry, made on its first datagram; the least recently heard
  // host makes room when the channel has its fill.
  Host* host_for(int channel, const sockaddr_in& source, int64_t now) {
    std::vector<Host>& hosts = channels_[channel].hosts;
    for (Host& host : hosts) {
      if (host.address.sin_addr.s_addr == source.sin_addr.s_addr &&
          host.address.sin_port == source.sin_port) {
        host.last_heard_ns = now;
        return &host;
      }
    }
    const int upstream = listening_socket(options_, 0);
    const sockaddr_in& device = channels_[channel].device;
    if (upstream < 0 ||
        ::connect(upstream, reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0) {
      if (upstream >= 0) {
        ::close(upstream);
      }
      return nullptr;
    }
    if (hosts.size() >= kMaxHostsPerChannel) {
      const auto oldest = std::min_element(
          hosts.begin(), hosts.end(),
          [](const Host& a, const Host& b) { return a.last_heard_ns < b.last_heard_ns; });
      ::close(oldest->upstream);
      hosts.erase(oldest);
    }
    const uint64_t flow = next_flow_++ * kMaxServedChannels + static_cast<uint64_t>(channel);
    hosts.push_back(Host{source, upstream, flow, now});
    return &hosts.back();
  }

  void receive_from_hosts(int channel) {
    // ECONNREFUSED on an upstream socket is an earlier datagram's ICMP error,
    // which reading clears; the next poll finds what else waits.
    receiver_.drain(channels_[channel].listener, kRounds,
                    [this, channel](const sockaddr_in& source, const uint8_t* bytes,
                                    std::size_t size, bool, int64_t now) {
                      const Host* host = host_for(channel, source, now);
                      if (host == nullptr) {
                        impairer_.record_send(Direction::kToDevice, false);
                        return;
                      }
                      impairer_.offer(Datagram{{Direction::kToDevice, host->flow},
                                               std::vector<uint8_t>(bytes, bytes + size)},
                                      now);
                    });
  }

  void receive_from_device(int channel, uint64_t flow) {
    const Host* host = find_host(channel, flow);
    if (host == nullptr) {
      return;  // replaced while this round read other sockets
    }
    receiver_.drain(
        host->upstream, kRounds,
        [this, flow](const sockaddr_in&, const uint8_t* bytes, std::size_t size, bool,
                     int64_t now) {
          impairer_.offer(
              Datagram{{Direction::kToHost, flow}, std::vector<uint8_t>(bytes, bytes + size)}, now);
        });
  }

  // True if the kernel took the datagram; a full buffer counts as a loss
  // rather than a wait.
  bool send(const Datagram& datagram) {
    const int channel = channel_of(datagram.route.flow);
    const Host* host = find_host(channel, datagram.route.flow);
    if (host == nullptr) {
      return false;
    }
    const bool to_device = datagram.route.direction == Direction::kToDevice;
    const int fd = to_device ? host->upstream : channels_[channel].listener;
    const sockaddr_in& to = to_device ? channels_[channel].device : host->address;
    // A pending ICMP error fails one send without sending: one more try.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int64_t sent =
          zelbor::system_socket_ops().send_to(fd, datagram.bytes.data(), datagram.bytes.size(), to);
      if (sent == static_cast<int64_t>(datagram.bytes.size())) {
        return true;
      }
      if (sent >= 0 || (errno != ECONNREFUSED && errno != EINTR)) {
        return false;
      }
    }
    return false;
  }

  const Options& options_;
  Impairer& impairer_;
  std::vector<Channel> channels_;
  uint64_t next_flow_ = 0;
  std::vector<Datagram> due_;
  std::vector<pollfd> descriptors_;
  std::vector<Ready> ready_;
  // Larger than any UDP datagram over IPv4, so nothing is ever cut.
  zelbor::udp::BatchReceiver<64, 65536> receiver_;
};

void print_totals(const Impairer& impairer, uint64_t left_queued) {
  for (const Direction direction : {Direction::kToDevice, Direction::kToHost}) {
    const zelbor::relay::DirectionTotals& totals = impairer.totals(direction);
    std::printf(
        "%s: forwarded %llu, lost %llu, lost in outages %llu, duplicated %llu, reordered %llu, "
        "overflowed %llu, send failures %llu\n",
        direction == Direction::kToDevice ? "to device" : "to host",
        static_cast<unsigned long long>(totals.forwarded),
        static_cast<unsigned long long>(totals.lost),
        static_cast<unsigned long long>(totals.lost_in_outage),
        static_cast<unsigned long long>(totals.duplicated),
        static_cast<unsigned long long>(totals.reordered),
        static_cast<unsigned long long>(totals.overflowed),
        static_cast<unsigned long long>(totals.send_failed));
  }
  std::printf("still queued at the end: %llu\n", static_cast<unsigned long long>(left_queued));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    print_usage(stderr);
    return 2;
  }
  if (options.listen_ip == options.device_ip) {
    std::fprintf(stderr,
                 "zelbor_relay: --listen and --device must be different addresses: the relay "
                 "and the device both use ports %d+2c\n",
                 static_cast<int>(kDeviceBasePort));
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
  Impairer impairer(options.impairments, random, zelbor::monotonic_ns());
  auto relay = std::make_unique<Relay>(options, impairer);  // large buffers: not on the stack
  if (!relay->bind_listeners()) {
    return 1;
  }
  std::printf("zelbor_relay: seed %llu\n", static_cast<unsigned long long>(seed));
  std::printf("zelbor_relay: relaying %d channel%s from %s to %s\n", options.channels,
              options.channels == 1 ? "" : "s", options.listen.c_str(), options.device.c_str());
  std::fflush(stdout);

  while (g_stop == 0) {
    if (!relay->run_once(wait_mask)) {
      return 1;
    }
  }
  print_totals(impairer, impairer.discard_pending());
  return 0;
}
