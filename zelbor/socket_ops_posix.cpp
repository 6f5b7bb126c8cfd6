#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "socket_ops.h"

namespace zelbor {
namespace {

constexpr int kMostReceived = 128;  // datagrams one call takes: more than any caller asks for

int64_t system_send_to(SocketHandle socket, const uint8_t* bytes, std::size_t size,
                       const sockaddr_in& to) {
  return ::sendto(socket, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                  sizeof to);
}

int system_receive_many(SocketHandle socket, DatagramSlot* slots, int count) {
  mmsghdr messages[kMostReceived];
  iovec vectors[kMostReceived];
  count = std::min(count, kMostReceived);
  for (int i = 0; i < count; ++i) {
    vectors[i] = iovec{slots[i].bytes, slots[i].capacity};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &slots[i].source;
    messages[i].msg_hdr.msg_namelen = sizeof slots[i].source;
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  const int received =
      ::recvmmsg(socket, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
  for (int i = 0; i < received; ++i) {
    slots[i].size = messages[i].msg_len;
    slots[i].cut = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
  }
  return received;
}

int system_wait(SocketHandle socket, bool for_writing, int timeout_ms) {
  pollfd descriptor{socket, static_cast<short>(for_writing ? POLLOUT : POLLIN), 0};
  return ::poll(&descriptor, 1, timeout_ms);
}

const SocketOps kSystemOps{system_send_to, system_receive_many, system_wait};

}  // namespace

const SocketOps& system_socket_ops() {
  return kSystemOps;
}

SocketHandle open_udp_socket(uint32_t address, uint16_t port, int receive_buffer_bytes) {
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    return kNoSocket;
  }
  // As root the system's limit (net.core.rmem_max) can be passed; otherwise
  // the system grants up to it.
  if (receive_buffer_bytes > 0 &&
      setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer_bytes,
                 sizeof receive_buffer_bytes) != 0) {
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
  }
  const sockaddr_in local = ipv4_endpoint(address, port);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    const int bind_error = errno;
    ::close(socket);
    errno = bind_error;
    return kNoSocket;
  }
  return socket;
}

void close_socket(SocketHandle socket) {
  if (socket != kNoSocket) {
    ::close(socket);
  }
}

}  // namespace zelbor
