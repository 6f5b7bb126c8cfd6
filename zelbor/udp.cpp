#include "udp.h"

#include <poll.h>

#include <cerrno>

namespace zelbor::udp {

void request_receive_buffer(int fd, int bytes) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

void prepare_receive(mmsghdr* messages, iovec* vectors, sockaddr_in* sources,
                     uint8_t* const* buffers, std::size_t buffer_size, int count) {
  for (int i = 0; i < count; ++i) {
    vectors[i] = iovec{buffers[i], buffer_size};
    msghdr& header = messages[i].msg_hdr;
    header = msghdr{};
    header.msg_name = &sources[i];
    header.msg_namelen = sizeof sources[i];
    header.msg_iov = &vectors[i];
    header.msg_iovlen = 1;
    messages[i].msg_len = 0;
  }
}

int receive_batch(const SocketOps& ops, int fd, mmsghdr* messages, int count) {
  int received = 0;
  do {
    received = ops.receive_many(fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  return received > 0 ? received : 0;  // an error left by an earlier send also means no data
}

bool send_datagram(const SocketOps& ops, int fd, const uint8_t* bytes, std::size_t size,
                   const sockaddr_in& to, SendTally& tally) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const ssize_t sent = ops.send_to(fd, bytes, size, MSG_DONTWAIT,
                                     reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent == static_cast<ssize_t>(size)) {
      return true;
    }
    if (sent >= 0) {
      break;  // a datagram socket never sends part of a datagram
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
      ++tally.retries;
      pollfd writable{fd, POLLOUT, 0};
      ops.poll_one(&writable, kSendBackoffMs);
    } else if (error == EINTR || error == ECONNREFUSED) {
      ++tally.retries;
    } else {
      break;
    }
  }
  ++tally.failures;
  return false;
}

}  // namespace zelbor::udp
