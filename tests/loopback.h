// Per-test loopback addresses and a bare UDP endpoint, so tests can run in
// parallel without sharing ports and never send beyond 127.0.0.0/8.
#pragma once

#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "socket_ops.h"
#include "udp.h"

namespace rawcan::testing {

// Wine binds a socket for any loopback address to all of loopback and sends
// from 127.0.0.1, so there the tests use that one address, one at a time.
inline bool loopback_is_one_address() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// 127.P.P.n: P from the process id, n counting up within the process.
inline uint32_t unique_loopback_address() {
  if (loopback_is_one_address()) {
    return 0x7F000001;
  }
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
  return zelbor::ipv4_endpoint(address, port);
}

// A UDP socket bound to one address and port.
class UdpEndpoint {
 public:
  UdpEndpoint(uint32_t address, uint16_t port)
      : socket_(zelbor::open_udp_socket(address, port, 0)) {}
  ~UdpEndpoint() { zelbor::close_socket(socket_); }
  UdpEndpoint(const UdpEndpoint&) = delete;
  UdpEndpoint& operator=(const UdpEndpoint&) = delete;

  bool bound() const { return socket_ != zelbor::kNoSocket; }

  // Sends as the link does: a full send buffer is waited for, within a bound.
  bool send_to(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
    zelbor::udp::SendTally tally{};
    return zelbor::udp::send_datagram(zelbor::system_socket_ops(), socket_, bytes.data(),
                                      bytes.size(), to, tally);
  }

  // Waits up to `timeout_ms` for one datagram; empty if none came.
  std::vector<uint8_t> receive(int timeout_ms, sockaddr_in* from = nullptr) const {
    const zelbor::SocketOps& ops = zelbor::system_socket_ops();
    std::vector<uint8_t> bytes(65536);
    zelbor::DatagramSlot slot{bytes.data(), bytes.size(), 0, false, {}, 0};
    if (ops.wait(socket_, false, timeout_ms) <= 0 || ops.receive_many(socket_, &slot, 1) != 1) {
      return {};
    }
    bytes.resize(slot.size);
    if (from != nullptr) {
      *from = slot.source;
    }
    return bytes;
  }

 private:
  zelbor::SocketHandle socket_;
};

}  // namespace rawcan::testing
