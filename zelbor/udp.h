// UDP helpers shared by the library and the simulated device: the receive
// buffer request, recvmmsg set-up, and the one send policy.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

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
