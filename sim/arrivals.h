// The datagrams of every channel's socket, handed to the device in the order
// they arrived, each with its arrival time. A socket keeps its own order;
// the channels' are merged by the arrival stamps, so a device that wakes late
// still hears the hosts in the order they spoke, at the moments they spoke.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "socket_ops.h"

namespace zelbor::sim {

class Arrivals {
 public:
  static constexpr int kBatch = 32;             // datagrams taken from a socket at once
  static constexpr std::size_t kBytes = 2048;   // more than any valid datagram
  static constexpr int kMostPerChannel = 1024;  // a call's share of one socket

  explicit Arrivals(int channels) : inboxes_(static_cast<std::size_t>(channels)) {
    for (Inbox& inbox : inboxes_) {
      inbox.bytes.resize(kBatch * kBytes);
      for (int i = 0; i < kBatch; ++i) {
        inbox.slots[i] = DatagramSlot{&inbox.bytes[i * kBytes], kBytes, 0, false, {}, 0};
      }
    }
  }

  // Takes what waits: receive(channel, slots, count) fills up to `count`
  // slots from that channel's socket without waiting and returns how many.
  // Calls handle(channel, slot, arrival_ns) for each datagram, earliest
  // arrival first (an unstamped one counts as arriving at `now_ns`). Returns
  // the moment up to which the device has heard everything: `now_ns`, or,
  // when a socket still holds more than one call takes, the arrival of the
  // last datagram handled; what is left waits for the next call.
  template <typename Receive, typename Handle>
  int64_t drain(int64_t now_ns, Receive&& receive, Handle&& handle) {
    flooded_ = false;
    for (std::size_t channel = 0; channel < inboxes_.size(); ++channel) {
      Inbox& inbox = inboxes_[channel];
      inbox.taken = 0;
      refill(static_cast<int>(channel), inbox, receive);
    }
    for (;;) {
      Inbox* earliest = nullptr;
      int channel = -1;
      for (std::size_t c = 0; c < inboxes_.size(); ++c) {
        Inbox& inbox = inboxes_[c];
        if (inbox.next < inbox.count &&
            (earliest == nullptr || arrival(inbox, now_ns) < arrival(*earliest, now_ns))) {
          earliest = &inbox;
          channel = static_cast<int>(c);
        }
      }
      if (earliest == nullptr) {
        return now_ns;
      }
      const int64_t at = arrival(*earliest, now_ns);
      handle(channel, earliest->slots[earliest->next], at);
      if (++earliest->next == earliest->count && earliest->count == kBatch) {
        if (earliest->taken >= kMostPerChannel) {
          flooded_ = true;
          return at;  // a flood on this socket: the rest come after `at`
        }
        refill(channel, *earliest, receive);
      }
    }
  }

  // Whether the last call left datagrams for the next: taken from a socket
  // but not handed on, or still on a flooded socket.
  bool pending() const {
    if (flooded_) {
      return true;
    }
    for (const Inbox& inbox : inboxes_) {
      if (inbox.next < inbox.count) {
        return true;
      }
    }
    return false;
  }

 private:
  struct Inbox {
    std::vector<uint8_t> bytes;
    DatagramSlot slots[kBatch];
    int count = 0;
    int next = 0;
    int taken = 0;  // in this call
  };

  // Tops the inbox up from its socket behind what an earlier call left in
  // it, so that nothing the socket took since waits behind later arrivals.
  template <typename Receive>
  void refill(int channel, Inbox& inbox, Receive& receive) {
    std::rotate(inbox.slots, inbox.slots + inbox.next, inbox.slots + inbox.count);
    const int left = inbox.count - inbox.next;
    const int received = left < kBatch ? receive(channel, inbox.slots + left, kBatch - left) : 0;
    inbox.count = left + (received > 0 ? received : 0);
    inbox.next = 0;
    inbox.taken += inbox.count - left;
  }
  static int64_t arrival(const Inbox& inbox, int64_t now_ns) {
    const int64_t stamp = inbox.slots[inbox.next].arrival_ns;
    return stamp != 0 ? stamp : now_ns;
  }

  std::vector<Inbox> inboxes_;
  bool flooded_ = false;
};

}  // namespace zelbor::sim
