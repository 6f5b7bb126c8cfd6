#include "udp.h"

#include <cerrno>

namespace zelbor::udp {

int receive_batch(const SocketOps& ops, SocketHandle socket, DatagramSlot* slots, int count) {
  int received = 0;
  do {
    received = ops.receive_many(socket, slots, count);
  } while (received < 0 && errno == EINTR);
  return received > 0 ? received : 0;  // an error left by an earlier send also means no data
}

bool send_datagram(const SocketOps& ops, SocketHandle socket, const uint8_t* bytes,
                   std::size_t size, const sockaddr_in& to, SendTally& tally) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const int64_t sent = ops.send_to(socket, bytes, size, to);
    if (sent == static_cast<int64_t>(size)) {
      return true;
    }
    if (sent >= 0) {
      break;  // a datagram socket never sends part of a datagram
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
      ++tally.retries;
      ops.wait(socket, true, kSendBackoffMs);
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
