// The system calls the link makes, behind a seam so tests can inject EINTR,
// EAGAIN, ENOBUFS or short writes.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace zelbor {

struct SocketOps {
  ssize_t (*send_to)(int fd, const void* bytes, size_t size, int flags, const sockaddr* to,
                     socklen_t to_size);
  int (*receive_many)(int fd, mmsghdr* messages, unsigned count, int flags);
  int (*poll_one)(pollfd* descriptor, int timeout_ms);
};

const SocketOps& system_socket_ops();

}  // namespace zelbor
