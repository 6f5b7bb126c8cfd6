#include "socket_ops.h"

namespace zelbor {
namespace {

ssize_t system_send_to(int fd, const void* bytes, size_t size, int flags, const sockaddr* to,
                       socklen_t to_size) {
  return ::sendto(fd, bytes, size, flags, to, to_size);
}

int system_receive_many(int fd, mmsghdr* messages, unsigned count, int flags) {
  return ::recvmmsg(fd, messages, count, flags, nullptr);
}

int system_poll_one(pollfd* descriptor, int timeout_ms) {
  return ::poll(descriptor, 1, timeout_ms);
}

const SocketOps kSystemOps{system_send_to, system_receive_many, system_poll_one};

}  // namespace

const SocketOps& system_socket_ops() {
  return kSystemOps;
}

}  // namespace zelbor
