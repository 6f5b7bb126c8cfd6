// Received frame datagrams waiting to be read, held in a fixed set of slots.
//
// Invariant: every slot is in exactly one place: free, lent out to a receive
// in progress, or queued with the frames it holds; the cursor points into the
// oldest queued slot, before its last frame. consistent() checks it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ring.h"
#include "wire.h"
#include "zelbor.h"

namespace zelbor {

class FrameQueue {
 public:
  static constexpr int kSlots = 96;
  static constexpr std::size_t kSlotBytes = wire::kMaxDatagram;

  void init() {
    queued_.clear();
    lent_ = 0;
    cursor_ = 0;
    for (int i = 0; i < kSlots; ++i) {
      free_[i] = static_cast<uint16_t>(kSlots - 1 - i);
    }
    free_count_ = kSlots;
  }

  int free_count() const { return free_count_; }
  bool empty() const { return queued_.empty(); }
  uint8_t* bytes(uint16_t slot) { return slots_[slot]; }

  // Takes up to `most` free slots for a receive; each must come back through
  // give_back() or push().
  int lend(uint16_t* slots, int most) {
    int taken = 0;
    while (taken < most && free_count_ > 0) {
      slots[taken++] = free_[--free_count_];
    }
    lent_ += taken;
    return taken;
  }
  void give_back(uint16_t slot) {
    --lent_;
    free_[free_count_++] = slot;
  }
  // Queues a lent slot holding a decoded frames datagram of `frames` frames.
  void push(uint16_t slot, uint16_t frames) {
    --lent_;
    queued_.push_back(slot);  // room for every slot, so never refused
    frames_[slot] = frames;
  }

  // The next frame in arrival order; false if none is queued.
  bool pop_frame(RawCanMessage& frame) {
    if (queued_.empty()) {
      return false;
    }
    const uint16_t slot = queued_.front();
    wire::frame_at(slots_[slot] + wire::kHeaderSize, cursor_, frame);
    if (++cursor_ == frames_[slot]) {
      release_head();
    }
    return true;
  }

  // Frees the oldest queued slot; returns how many of its frames were unread.
  uint16_t drop_oldest() {
    if (queued_.empty()) {
      return 0;
    }
    const uint16_t unread = static_cast<uint16_t>(frames_[queued_.front()] - cursor_);
    release_head();
    return unread;
  }

  bool consistent() const {
    const int queued = static_cast<int>(queued_.size());
    if (free_count_ < 0 || lent_ < 0 || free_count_ + queued + lent_ != kSlots) {
      return false;
    }
    int seen[kSlots] = {};
    for (int i = 0; i < free_count_; ++i) {
      ++seen[free_[i]];
    }
    for (std::size_t i = 0; i < queued_.size(); ++i) {
      const uint16_t slot = queued_[i];
      if (frames_[slot] == 0 || frames_[slot] > wire::kMaxFramesPerDatagram) {
        return false;
      }
      ++seen[slot];
    }
    for (const int count : seen) {
      if (count > 1) {
        return false;
      }
    }
    return queued_.empty() ? cursor_ == 0 : cursor_ < frames_[queued_.front()];
  }

 private:
  void release_head() {
    free_[free_count_++] = queued_.front();
    queued_.pop_front();
    cursor_ = 0;
  }

  uint16_t free_[kSlots];
  int free_count_;
  int lent_;
  rawcan::Ring<uint16_t, kSlots> queued_;  // queued slots, oldest first
  uint16_t cursor_;                        // next frame of the oldest queued slot
  uint16_t frames_[kSlots];                // frames held by each queued slot
  uint8_t slots_[kSlots][kSlotBytes];
};

}  // namespace zelbor
