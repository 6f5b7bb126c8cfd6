// The sending side of a numbered control stream, as the device keeps it for
// each host (stream.h is the receiving side, in the host's link). Each record
// takes the next number and is repeated until acknowledged; once the window
// of records in flight is full, the oldest still waiting is given up.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link_core.h"
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
    if (number - oldest_ >= kControlWindow) {
      Entry& oldest = entries_[oldest_ % kControlWindow];
      if (oldest.waiting) {
        oldest.waiting = false;
        --waiting_;
        ++given_up;
      }
      ++oldest_;
    }
    Entry& entry = entries_[number % kControlWindow];
    entry.waiting = true;
    entry.next_try_ns = now_ns + kControlRetryNs;
    entry.size = encode(number, entry.bytes, sizeof entry.bytes);
    ++waiting_;
    return {entry.bytes, entry.size};
  }

  void acknowledged(uint32_t number) {
    if (number - oldest_ >= next_ - oldest_) {
      return;  // not a record in flight
    }
    Entry& entry = entries_[number % kControlWindow];
    if (entry.waiting) {
      entry.waiting = false;
      --waiting_;
    }
    while (oldest_ != next_ && !entries_[oldest_ % kControlWindow].waiting) {
      ++oldest_;
    }
  }

  // Calls send(datagram) for every waiting record whose repeat is due.
  template <typename Send>
  void repeat_due(int64_t now_ns, Send&& send) {
    for (uint32_t number = oldest_; waiting_ != 0 && number != next_; ++number) {
      Entry& entry = entries_[number % kControlWindow];
      if (entry.waiting && entry.next_try_ns <= now_ns) {
        entry.next_try_ns = now_ns + kControlRetryNs;
        send(Datagram{entry.bytes, entry.size});
      }
    }
  }

  // Every waiting record is repeated at the next repeat_due() from `now_ns`.
  void repeat_all_from(int64_t now_ns) {
    for (Entry& entry : entries_) {
      entry.next_try_ns = now_ns;
    }
  }

  // Stops every record waiting; returns how many did.
  uint32_t clear() {
    for (Entry& entry : entries_) {
      entry.waiting = false;
    }
    const uint32_t stopped = waiting_;
    waiting_ = 0;
    return stopped;
  }

  // A new stream, numbered from 0.
  void reset() {
    clear();
    next_ = 0;
    oldest_ = 0;
  }

 private:
  struct Entry {
    bool waiting = false;
    int64_t next_try_ns = 0;
    std::size_t size = 0;
    uint8_t bytes[kMaxBytes]{};
  };
  std::array<Entry, kControlWindow> entries_{};  // by number modulo kControlWindow
  uint32_t next_ = 0;
  uint32_t oldest_ = 0;
  uint32_t waiting_ = 0;
};

}  // namespace zelbor
