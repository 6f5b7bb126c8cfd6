// The sending side of a numbered control stream, as the device keeps it for
// each host (stream.h is the receiving side, in the host's link). Each record
// takes the next number and is repeated until acknowledged; once the window
// of records in flight is full, the oldest still waiting is given up.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link_core.h"
#include "ring.h"
#include "stream.h"
#include "wire.h"

namespace zelbor {

inline constexpr int64_t kControlRetryNs = 50'000'000;
// A record is given up once this many newer ones were sent: the host's
// window for delivering it once.
inline constexpr uint32_t kControlWindow = 256;

// The host delivers each control record once only while it remembers having
// delivered it, and takes a record only within its window ahead: every record
// still repeated, or sent while older ones wait, must fit both.
static_assert(kControlWindow <= DeliveredWindow::kSpan);
static_assert(kControlWindow <= kControlWindowAhead);

class ControlRepeater {
 public:
  // The records repeated carry at most this many data bytes.
  static constexpr std::size_t kMaxData = 8;
  static constexpr std::size_t kMaxBytes = wire::kHeaderSize + wire::kControlHeaderSize + kMaxData;

  struct Datagram {
    const uint8_t* bytes;
    std::size_t size;
  };

  uint32_t next_number() const { return next_; }
  uint32_t waiting() const { return waiting_; }

  // Numbers the next record and keeps the datagram that
  // `encode(number, bytes, capacity)` writes, to send now and again until
  // acknowledged. If the window is full its oldest record stops waiting;
  // one given up so is counted in `given_up`.
  template <typename Encode>
  Datagram add(int64_t now_ns, Encode&& encode, uint64_t& given_up) {
    const uint32_t number = next_++;
    if (entries_.full()) {
      if (entries_.front().waiting) {
        --waiting_;
        ++given_up;
      }
      entries_.pop_front();
    }
    Entry& entry = *entries_.grow_back();
    entry.waiting = true;
    entry.next_try_ns = now_ns + kControlRetryNs;
    entry.size = encode(number, entry.bytes, sizeof entry.bytes);
    ++waiting_;
    return {entry.bytes, entry.size};
  }

  void acknowledged(uint32_t number) {
    const uint32_t index = number - oldest();
    if (index >= entries_.size()) {
      return;  // not a record in flight
    }
    Entry& entry = entries_[index];
    if (entry.waiting) {
      entry.waiting = false;
      --waiting_;
    }
    while (!entries_.empty() && !entries_.front().waiting) {
      entries_.pop_front();
    }
  }

  // Calls send(datagram) for every waiting record whose repeat is due.
  template <typename Send>
  void repeat_due(int64_t now_ns, Send&& send) {
    for (std::size_t i = 0; waiting_ != 0 && i < entries_.size(); ++i) {
      Entry& entry = entries_[i];
      if (entry.waiting && entry.next_try_ns <= now_ns) {
        entry.next_try_ns = now_ns + kControlRetryNs;
        send(Datagram{entry.bytes, entry.size});
      }
    }
  }

  // Every waiting record is repeated at the next repeat_due() from `now_ns`.
  void repeat_all_from(int64_t now_ns) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      entries_[i].next_try_ns = now_ns;
    }
  }

  // Stops every record waiting; returns how many did.
  uint32_t clear() {
    entries_.clear();
    const uint32_t stopped = waiting_;
    waiting_ = 0;
    return stopped;
  }

  // A new stream, numbered from 0.
  void reset() {
    clear();
    next_ = 0;
  }

 private:
  struct Entry {
    bool waiting = false;
    int64_t next_try_ns = 0;
    std::size_t size = 0;
    uint8_t bytes[kMaxBytes]{};
  };
  // The number of the front entry: each entry's number is this plus its index.
  uint32_t oldest() const { return next_ - static_cast<uint32_t>(entries_.size()); }

  // The records in flight, oldest first: every number from oldest() up to next_.
  rawcan::Ring<Entry, kControlWindow> entries_;
  uint32_t next_ = 0;
  uint32_t waiting_ = 0;
};

}  // namespace zelbor
