#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>

#include "socket_ops.h"

namespace zelbor {
namespace {

// Winsock's errors as the errno values the send policy knows.
int errno_of(int wsa_error) {
  switch (wsa_error) {
    case WSAEWOULDBLOCK:
      return EAGAIN;
    case WSAEINTR:
      return EINTR;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAECONNRESET:  // an ICMP "port unreachable" for an earlier send
      return ECONNREFUSED;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return ENETUNREACH;
    case WSAEACCES:
      return EACCES;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    default:
      return EIO;
  }
}

int failed() {
  errno = errno_of(WSAGetLastError());
  return -1;
}

int64_t system_send_to(SocketHandle socket, const uint8_t* bytes, std::size_t size,
                       const sockaddr_in& to) {
  const int sent = ::sendto(socket, reinterpret_cast<const char*>(bytes), static_cast<int>(size), 0,
                            reinterpret_cast<const sockaddr*>(&to), sizeof to);
  return sent == SOCKET_ERROR ? failed() : sent;
}

// Winsock has no call that takes several datagrams: one recvfrom each, on a
// non-blocking socket, until the socket is empty or the slots are full.
// Errors left by earlier sends are passed over, a bounded number of them.
int system_receive_many(SocketHandle socket, DatagramSlot* slots, int count) {
  int filled = 0;
  for (int calls = 0; filled < count && calls < 2 * count; ++calls) {
    DatagramSlot& slot = slots[filled];
    int source_size = sizeof slot.source;
    const int received =
        ::recvfrom(socket, reinterpret_cast<char*>(slot.bytes), static_cast<int>(slot.capacity), 0,
                   reinterpret_cast<sockaddr*>(&slot.source), &source_size);
    const int error = received == SOCKET_ERROR ? WSAGetLastError() : 0;
    if (received != SOCKET_ERROR || error == WSAEMSGSIZE) {
      // A larger datagram fails with WSAEMSGSIZE and leaves its start.
      slot.cut = received == SOCKET_ERROR;
      slot.size = slot.cut ? slot.capacity : static_cast<std::size_t>(received);
      slot.arrival_ns = 0;
      ++filled;
    } else if (error != WSAECONNRESET) {
      if (filled > 0) {
        break;
      }
      return failed();
    }
  }
  return filled;
}

int system_wait(SocketHandle socket, bool for_writing, int timeout_ms) {
  fd_set sockets;
  FD_ZERO(&sockets);
  FD_SET(socket, &sockets);
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int ready = ::select(0, for_writing ? nullptr : &sockets, for_writing ? &sockets : nullptr,
                             nullptr, timeout_ms < 0 ? nullptr : &timeout);
  return ready == SOCKET_ERROR ? failed() : ready;
}

const SocketOps kSystemOps{system_send_to, system_receive_many, system_wait};

}  // namespace

const SocketOps& system_socket_ops() {
  return kSystemOps;
}

// Each open socket holds one Winsock start-up, which its close gives back.
SocketHandle open_udp_socket(uint32_t address, uint16_t port, int receive_buffer_bytes) {
  WSADATA version{};
  if (WSAStartup(MAKEWORD(2, 2), &version) != 0) {
    errno = EIO;
    return kNoSocket;
  }
  const SocketHandle socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket == INVALID_SOCKET) {
    failed();
    WSACleanup();
    return kNoSocket;
  }
  // Not handed down to child processes, which would keep the port bound.
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  // Without this, an ICMP "port unreachable" for one send fails later receives.
  BOOL report_reset = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned,
           nullptr, nullptr);
  u_long non_blocking = 1;
  BOOL exclusive = TRUE;  // no other socket may share the port, as on POSIX systems
  const sockaddr_in local = ipv4_endpoint(address, port);
  if (receive_buffer_bytes > 0) {
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer_bytes),
               sizeof receive_buffer_bytes);
  }
  if (ioctlsocket(socket, FIONBIO, &non_blocking) != 0 ||
      setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                 sizeof exclusive) != 0 ||
      ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    failed();
    const int error = errno;
    closesocket(socket);
    WSACleanup();
    errno = error;
    return kNoSocket;
  }
  return socket;
}

void close_socket(SocketHandle socket) {
  if (socket != kNoSocket) {
    closesocket(socket);
    WSACleanup();
  }
}

bool stamp_arrivals(SocketHandle) {
  return false;
}

uint64_t socket_drops(SocketHandle) {
  return 0;
}

}  // namespace zelbor
