// UDP helpers shared by the library and the simulated device: the receive
// buffer request, recvmmsg set-up, and the one send policy.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "clock.h"
#include "socket_ops.h"

namespace zelbor::udp {

inline constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
inline constexpr int kSendAttempts = 20;
inline constexpr int kSendBackoffMs = 1;

// Asks for a receive buffer of `bytes`. As root the system's limit
// (net.core.rmem_max) can be passed; otherwise the system grants up to it.
void request_receive_buffer(int fd, int bytes = kReceiveBufferBytes);

// Points message i at buffers[i] (`buffer_size` bytes) and sources[i].
void prepare_receive(mmsghdr* messages, iovec* vectors, sockaddr_in* sources,
                     uint8_t* const* buffers, std::size_t buffer_size, int count);

// Receives up to `count` datagrams without waiting, retrying an interrupted
// call; returns how many arrived, 0 when none (or on an error).
int receive_batch(const SocketOps& ops, int fd, mmsghdr* messages, int count);

// Reusable receive buffers for programs that serve several sockets.
template <int kBatch, std::size_t kBytes>
class BatchReceiver {
 public:
  BatchReceiver() {
    for (int i = 0; i < kBatch; ++i) {
      pointers_[i] = buffers_[i];
    }
  }
  // Calls handle(source, bytes, size, cut, now_ns) for each datagram waiting
  // on `fd`, for at most `rounds` full batches, so one busy socket cannot
  // starve the rest; `cut` tells a datagram larger than kBytes.
  template <typename Handle>
  void drain(int fd, int rounds, Handle&& handle) {
    for (int round = 0; round < rounds; ++round) {
      prepare_receive(messages_, vectors_, sources_, pointers_, kBytes, kBatch);
      const int received = receive_batch(system_socket_ops(), fd, messages_, kBatch);
      const int64_t now_ns = monotonic_ns();
      for (int i = 0; i < received; ++i) {
        handle(sources_[i], buffers_[i], static_cast<std::size_t>(messages_[i].msg_len),
               (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0, now_ns);
      }
      if (received < kBatch) {
        return;
      }
    }
  }

 private:
  uint8_t buffers_[kBatch][kBytes];
  uint8_t* pointers_[kBatch];
  mmsghdr messages_[kBatch];
  iovec vectors_[kBatch];
  sockaddr_in sources_[kBatch];
};

struct SendTally {
  uint64_t retries;
  uint64_t failures;
};

// Sends one datagram. A temporary failure (EINTR, EAGAIN, ENOBUFS, or an
// ECONNREFUSED left by an earlier ICMP error) is retried up to kSendAttempts
// times, waiting at most kSendBackoffMs for room between tries; anything
// else, or running out of tries, is a lasting failure. Never blocks longer.
bool send_datagram(const SocketOps& ops, int fd, const uint8_t* bytes, std::size_t size,
                   const sockaddr_in& to, SendTally& tally);

}  // namespace zelbor::udp
