#include "relay.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "clock.h"
#include "ports.h"

namespace zelbor::relay {
namespace {

// A nonblocking UDP socket on the listen address with a large receive buffer, or -1.
int listening_socket(const Options& options, int port) {
  return zelbor::open_udp_socket(options.listen_ip, static_cast<uint16_t>(port),
                                 zelbor::udp::kReceiveBufferBytes);
}

}  // namespace

Relay::~Relay() {
  for (Channel& channel : channels_) {
    for (const Host& host : channel.hosts) {
      ::close(host.upstream);
    }
    if (channel.listener >= 0) {
      ::close(channel.listener);
    }
  }
}

bool Relay::bind_listeners() {
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

bool Relay::run_once(const sigset_t& wait_mask, bool forced_down) {
  int64_t now = zelbor::monotonic_ns();
  impairer_.set_forced_down(forced_down);
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
  const int64_t wait_ns = std::clamp<int64_t>(impairer_.next_event_ns(now) - now, 0, 1'000'000'000);
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

Host* Relay::find_host(int channel, uint64_t flow) {
  for (Host& host : channels_[channel].hosts) {
    if (host.flow == flow) {
      return &host;
    }
  }
  return nullptr;
}

Host* Relay::host_for(int channel, const sockaddr_in& source, int64_t now) {
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
  const uint64_t flow = next_flow_++ * rawcan::kMaxServedChannels + static_cast<uint64_t>(channel);
  hosts.push_back(Host{source, upstream, flow, now});
  return &hosts.back();
}

void Relay::receive_from_hosts(int channel) {
  // ECONNREFUSED on an upstream socket is an earlier datagram's ICMP error,
  // which reading clears; the next poll finds what else waits.
  receiver_.drain(channels_[channel].listener, kRounds,
                  [this, channel](const sockaddr_in& source, const uint8_t* bytes, std::size_t size,
                                  bool, int64_t now) {
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

void Relay::receive_from_device(int channel, uint64_t flow) {
  const Host* host = find_host(channel, flow);
  if (host == nullptr) {
    return;  // replaced while this round read other sockets
  }
  receiver_.drain(
      host->upstream, kRounds,
      [this, flow](const sockaddr_in&, const uint8_t* bytes, std::size_t size, bool, int64_t now) {
        impairer_.offer(
            Datagram{{Direction::kToHost, flow}, std::vector<uint8_t>(bytes, bytes + size)}, now);
      });
}

bool Relay::send(const Datagram& datagram) {
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

void print_totals(const Impairer& impairer, uint64_t left_queued) {
  for (const Direction direction : {Direction::kToDevice, Direction::kToHost}) {
    const DirectionTotals& totals = impairer.totals(direction);
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

}  // namespace zelbor::relay
