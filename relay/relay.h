// The relay itself: one socket per channel that hosts send to as the
// device's endpoint, one socket per host towards the device, and the
// impairer between them.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <vector>

#include "impairment.h"
#include "options.h"
#include "ports.h"
#include "udp.h"

namespace zelbor::relay {

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
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  bool bind_listeners();

  // One round: report the link's state, send what is due, wait for input
  // until the next event (signals in `wait_mask` only meanwhile), and take
  // it in; `forced_down` holds the link down.
  bool run_once(const sigset_t& wait_mask, bool forced_down);

 private:
  struct Ready {
    int channel;
    uint64_t flow;
    bool listener;
  };
  static constexpr int kRounds = 16;

  static int channel_of(uint64_t flow) {
    return static_cast<int>(flow % rawcan::kMaxServedChannels);
  }

  Host* find_host(int channel, uint64_t flow);

  // The host's entry, made on its first datagram; the least recently heard
  // host makes room when the channel has its fill.
  Host* host_for(int channel, const sockaddr_in& source, int64_t now);

  void receive_from_hosts(int channel);

  void receive_from_device(int channel, uint64_t flow);

  // True if the kernel took the datagram; a full buffer counts as a loss
  // rather than a wait.
  bool send(const Datagram& datagram);

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

// The totals of both directions and what was still queued, on standard output.
void print_totals(const Impairer& impairer, uint64_t left_queued);

}  // namespace zelbor::relay
