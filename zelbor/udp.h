// UDP helpers shared by the library and the simulated device: batched
// receive and the send policy of both, over the system calls' seam (the
// relay forwards on the same seam without waiting for room).
#pragma once

#include <cstddef>
#include <cstdint>

#include "clock.h"
#include "socket_ops.h"

namespace zelbor::udp {

inline constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;  // asked for on every socket
inline constexpr int kSendAttempts = 20;
inline constexpr int kSendBackoffMs = 1;

// Receives up to `count` datagrams without waiting, retrying an interrupted
// call; returns how many arrived, 0 when none (or on an error).
int receive_batch(const SocketOps& ops, SocketHandle socket, DatagramSlot* slots, int count);

// Reusable receive buffers for programs that serve several sockets.
template <int kBatch, std::size_t kBytes>
class BatchReceiver {
 public:
  BatchReceiver() {
    for (int i = 0; i < kBatch; ++i) {
      slots_[i].bytes = buffers_[i];
      slots_[i].capacity = kBytes;
    }
  }
  // Calls handle(source, bytes, size, cut, now_ns) for each datagram waiting
  // on `socket`, for at most `rounds` full batches, so one busy socket cannot
  // starve the rest; `cut` tells a datagram larger than kBytes.
  template <typename Handle>
  void drain(SocketHandle socket, int rounds, Handle&& handle) {
    for (int round = 0; round < rounds; ++round) {
      const int received = receive_batch(system_socket_ops(), socket, slots_, kBatch);
      const int64_t now_ns = monotonic_ns();
      for (int i = 0; i < received; ++i) {
        handle(slots_[i].source, buffers_[i], slots_[i].size, slots_[i].cut, now_ns);
      }
      if (received < kBatch) {
        return;
      }
    }
  }

 private:
  uint8_t buffers_[kBatch][kBytes];
  DatagramSlot slots_[kBatch];
};

struct SendTally {
  uint64_t retries;
  uint64_t failures;
};

// Sends one datagram. A temporary failure (EINTR, EAGAIN, ENOBUFS, or an
// ECONNREFUSED left by an earlier ICMP error) is retried up to kSendAttempts
// times, waiting at most kSendBackoffMs for room between tries; anything
// else, or running out of tries, is a lasting failure. Never blocks longer.
bool send_datagram(const SocketOps& ops, SocketHandle socket, const uint8_t* bytes,
                   std::size_t size, const sockaddr_in& to, SendTally& tally);

}  // namespace zelbor::udp
