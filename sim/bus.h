// The simulated CAN bus: nodes with transmit queues, arbitration, and the
// time each frame holds the bus. No sockets and no clock of its own: the
// caller says what time it is.
//
// A classic data frame is, in order: start of frame (1 bit, dominant), the
// arbitration field (standard: identifier 11, RTR 1; extended: base
// identifier 11, SRR 1, IDE 1, identifier extension 18, RTR 1), the control
// field (standard: IDE 1, r0 1, DLC 4; extended: r1 1, r0 1, DLC 4), the data
// (8 bits a byte), the CRC-15 sequence, then CRC delimiter 1, ACK slot 1, ACK
// delimiter 1, end of frame 7 and intermission 3. From start of frame to the
// end of the CRC sequence, after five equal bits the sender inserts one of the
// other value (a stuff bit). A standard frame with eight data bytes is thus
// 111 bits and up to 24 stuff bits; an extended one 131 and up to 29.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "ring.h"
#include "zelbor.h"

namespace zelbor::sim {

// The frame's bits on the bus, start of frame through the intermission,
// stuff bits included. A length outside 0 to 8 counts as 8 at most, 0 at
// least; a standard identifier keeps its low 11 bits, as a controller would.
int frame_bits(const RawCanMessage& frame);

// The bits from start of frame to the end of the end-of-frame field: the
// moment a receiver takes the frame as valid.
inline int bits_to_end_of_frame(const RawCanMessage& frame) {
  return frame_bits(frame) - 3;
}

// Lower wins arbitration: the identifier bits as they go on the wire, where a
// standard frame beats an extended one with the same first 11 bits.
uint32_t arbitration_key(const RawCanMessage& frame);

struct NodeStats {
  uint64_t offered;  // frames offered to the node's transmit queue
  uint64_t sent;     // frames that went over the bus
  uint64_t dropped;  // frames refused because the queue was full
};

class Bus {
 public:
  // `bitrate` in bits per second; 0 is an ideal bus that carries any number
  // of frames at once, with no queues and no spacing.
  explicit Bus(uint32_t bitrate) : bitrate_(bitrate) {}

  // A node with a transmit queue of `capacity` frames, at least 1; returns
  // its number.
  int add_node(std::size_t capacity);

  // Puts a frame in the node's queue at `now_ns`; false, and counted, if the
  // queue is full. Each queue keeps its own order.
  bool offer(int node, const RawCanMessage& frame, int64_t now_ns);
  // Counts `count` more frames offered and refused, as offer() would once the
  // node's queue is full and the bus has not run since.
  void refuse(int node, uint64_t count) {
    NodeStats& stats = nodes_[static_cast<std::size_t>(node)].stats;
    stats.offered += count;
    stats.dropped += count;
  }

  // Runs the bus up to `now_ns`: every frame whose end of frame has passed
  // by then is handed to deliver(node, frame, end_of_frame_ns), in bus order.
  template <typename Deliver>
  void run_until(int64_t now_ns, Deliver&& deliver) {
    while (next_delivery(now_ns)) {
      deliver(current_.node, current_.frame, current_.end_of_frame_ns);
      on_bus_ = false;
    }
  }

  // When the next frame will have passed, or INT64_MAX if none is waiting.
  int64_t next_event_ns() const;

  bool idle() const;
  const NodeStats& stats(int node) const { return nodes_[static_cast<std::size_t>(node)].stats; }
  std::size_t queued(int node) const { return nodes_[static_cast<std::size_t>(node)].queue.size(); }
  int nodes() const { return static_cast<int>(nodes_.size()); }
  // Time the bus was busy with frames, in nanoseconds.
  int64_t busy_ns() const { return busy_ns_; }

 private:
  struct Queued {
    RawCanMessage frame;
    int64_t ready_ns;
  };
  struct Node {
    rawcan::Ring<Queued> queue;
    NodeStats stats;
  };
  struct OnBus {
    int node;
    RawCanMessage frame;
    int64_t end_of_frame_ns;
    int64_t free_ns;  // end of the intermission
  };

  // Starts frames as the bus frees; true when one has passed by `now_ns`.
  bool next_delivery(int64_t now_ns);
  // When the next queued frame can start: its ready time or the bus's free
  // time, whichever is later; INT64_MAX with every queue empty.
  int64_t next_start_ns() const;
  int64_t bits_ns(int bits) const;

  uint32_t bitrate_;
  std::vector<Node> nodes_;
  bool on_bus_ = false;
  OnBus current_{};
  int64_t free_ns_ = INT64_MIN;
  int64_t busy_ns_ = 0;
  // The ideal bus hands frames over as they come, in the order offered.
  std::deque<OnBus> passed_;
};

}  // namespace zelbor::sim
