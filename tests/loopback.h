// Per-test loopback addresses and a bare UDP endpoint, so tests can run in
// parallel without sharing ports and never send beyond 127.0.0.0/8.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace rawcan::testing {

// 127.P.P.n: P from the process id, n counting up within the process.
inline uint32_t unique_loopback_address() {
  static std::atomic<uint32_t> counter{1};
  const auto pid = static_cast<uint32_t>(getpid());
  const uint32_t n = counter.fetch_add(1);
  return (127u << 24) | ((pid & 0xFFFFu) << 8) | (1 + (n + (pid >> 16)) % 254);
}

inline std::string dotted(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

inline sockaddr_in endpoint(uint32_t address, uint16_t port) {
  sockaddr_in result{};
  result.sin_family = AF_INET;
  result.sin_addr.s_addr = htonl(address);
  result.sin_port = htons(port);
  return result;
}

// A UDP socket bound to one address and port.
class UdpEndpoint {
 public:
  UdpEndpoint(uint32_t address, uint16_t port)
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in local = endpoint(address, port);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  }
  ~UdpEndpoint() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  UdpEndpoint(const UdpEndpoint&) = delete;
  UdpEndpoint& operator=(const UdpEndpoint&) = delete;

  bool bound() const { return bound_; }

  bool send_to(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                    sizeof to) == static_cast<ssize_t>(bytes.size());
  }

  // Waits up to `timeout_ms` for one datagram; empty if none came.
  std::vector<uint8_t> receive(int timeout_ms, sockaddr_in* from = nullptr) const {
    pollfd readable{fd_, POLLIN, 0};
    if (::poll(&readable, 1, timeout_ms) <= 0) {
      return {};
    }
    std::vector<uint8_t> bytes(65536);
    sockaddr_in source{};
    socklen_t source_size = sizeof source;
    const ssize_t size = ::recvfrom(fd_, bytes.data(), bytes.size(), 0,
                                    reinterpret_cast<sockaddr*>(&source), &source_size);
    bytes.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    if (from != nullptr) {
      *from = source;
    }
    return bytes;
  }

 private:
  int fd_;
  bool bound_ = false;
};

}  // namespace rawcan::testing
