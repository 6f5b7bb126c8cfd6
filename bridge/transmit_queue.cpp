#include "transmit_queue.h"

#include <algorithm>

namespace rawcan::bridge {

bool TransmitQueue::push(const RawCanMessage& frame) {
  if (full()) {
    return false;
  }
  ring_[(head_ + count_) % ring_.size()] = frame;
  ++count_;
  return true;
}

void TransmitQueue::pop(std::size_t count) {
  head_ = (head_ + count) % ring_.size();
  count_ -= count;
}

int TransmitQueue::next_write(int64_t now_ns, RawCanMessage* out) {
  if (flight_ != 0 || count_ == 0 || now_ns < retry_at_ns_) {
    return 0;
  }
  int count = static_cast<int>(std::min<std::size_t>(count_, kMaxWrite));
  if (room_) {
    // A little room with more waiting: the ROOM record will say when half is free.
    if (*room_ < std::min(threshold_, count) && now_ns < retry_at_ns_ + kRoomFallbackNs) {
      return 0;
    }
    count = std::max(1, std::min(count, *room_));
  }
  for (int i = 0; i < count; ++i) {
    out[i] = ring_[(head_ + static_cast<std::size_t>(i)) % ring_.size()];
  }
  flight_ = count;
  flight_since_ns_ = now_ns;
  return count;
}

int TransmitQueue::report(int taken, int64_t now_ns, std::optional<int> room,
                          std::optional<uint32_t> batch) {
  if (flight_ == 0) {
    return 0;  // a report of no write of ours
  }
  taken = std::clamp(taken, 0, flight_);
  const int rest = flight_ - taken;
  flight_ = 0;
  pop(static_cast<std::size_t>(taken));
  frames_taken_ += static_cast<uint64_t>(taken);
  if (room && batch) {
    room_ = room;
    last_batch_ = *batch;
  }
  if (rest > 0) {
    frames_sent_again_ += static_cast<uint64_t>(rest);
    if (!room_) {
      pause_ns_ = taken < kFewTaken ? std::min(pause_ns_ * 2, kLongestPauseNs)
                                    : std::max(pause_ns_ / 2, kFirstPauseNs);
    }
    retry_at_ns_ = now_ns + (room_ ? 0 : pause_ns_);
  } else {
    retry_at_ns_ = room_ ? now_ns : 0;
  }
  return taken;
}

void TransmitQueue::room_report(int room, int capacity, uint32_t batch) {
  threshold_ = room_threshold(capacity);
  if (flight_ != 0 || ((batch - last_batch_) & 0x80000000u) != 0) {
    return;  // the answer to the write in flight will say; or older than what is known
  }
  room_ = room;
  last_batch_ = batch;
}

int TransmitQueue::abandon_flight() {
  const int count = flight_;
  pop(static_cast<std::size_t>(count));
  flight_ = 0;
  return count;
}

std::optional<int64_t> TransmitQueue::wake_at_ns() const {
  if (flight_ != 0 || count_ == 0) {
    return std::nullopt;
  }
  if (room_ && *room_ < std::min<int>(threshold_,
                                      static_cast<int>(std::min<std::size_t>(count_, kMaxWrite)))) {
    return retry_at_ns_ + kRoomFallbackNs;
  }
  return retry_at_ns_;
}

}  // namespace rawcan::bridge
