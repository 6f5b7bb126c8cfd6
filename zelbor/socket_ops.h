// The system calls the link makes, behind a seam: one implementation over
// POSIX sockets, one over Winsock. Tests replace the calls to inject EINTR,
// EAGAIN, ENOBUFS or short writes. On every system a failure comes back as
// -1 with a POSIX errno value, so the send policy above is written once.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

#include <cstddef>
#include <cstdint>

namespace zelbor {

#ifdef _WIN32
using SocketHandle = SOCKET;
#else
using SocketHandle = int;
#endif
inline constexpr SocketHandle kNoSocket = static_cast<SocketHandle>(-1);

// An IPv4 endpoint from an address and port in host byte order.
inline sockaddr_in ipv4_endpoint(uint32_t address, uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_addr.s_addr = htonl(address);
  endpoint.sin_port = htons(port);
  return endpoint;
}

// Room for one received datagram, and what arrived in it.
struct DatagramSlot {
  uint8_t* bytes;
  std::size_t capacity;
  std::size_t size;
  bool cut;  // the datagram was larger than `capacity`; only its start is kept
  sockaddr_in source;
  // On a socket that stamps arrivals (stamp_arrivals()), 0 elsewhere: when
  // the system took the datagram, on the clock of monotonic_ns().
  int64_t arrival_ns;
};

struct SocketOps {
  // Sends one datagram without waiting: the bytes sent, or -1.
  int64_t (*send_to)(SocketHandle socket, const uint8_t* bytes, std::size_t size,
                     const sockaddr_in& to);
  // Fills up to `count` slots without waiting: how many, or -1 (EAGAIN: none).
  int (*receive_many)(SocketHandle socket, DatagramSlot* slots, int count);
  // Waits up to `timeout_ms` until the socket can be read, or written:
  // above 0 when it can, 0 on timeout, -1 on an error.
  int (*wait)(SocketHandle socket, bool for_writing, int timeout_ms);
};

const SocketOps& system_socket_ops();

// A non-blocking UDP socket bound to `address`:`port` (host byte order)
// with a receive buffer of `receive_buffer_bytes` asked for (0: the
// system's default); kNoSocket with errno set if it cannot be had.
SocketHandle open_udp_socket(uint32_t address, uint16_t port, int receive_buffer_bytes);
void close_socket(SocketHandle socket);
// Asks the system to stamp each datagram with its arrival; false where it
// cannot (Windows).
bool stamp_arrivals(SocketHandle socket);
// Datagrams the system dropped on the socket so far for want of room in its
// receive buffer; 0 where it cannot tell (Windows).
uint64_t socket_drops(SocketHandle socket);

}  // namespace zelbor
