// The simulated device's own traffic: a load generator and a log replay,
// each a node on the bus with a transmit queue of its own. Both start when
// the first host listens, and say when each frame is due; the device offers
// it to the bus at that moment, however late it wakes, and the bus may hold
// it in the queue, or drop it when the queue is full.
#pragma once

#include <cstdint>
#include <vector>

#include "candump.h"
#include "generated.h"

namespace zelbor::sim {

// `rate` frames a second, frame n being generated_frame(n), due (n + 1) / rate
// seconds after the start; stops after `count` frames unless 0.
class Generator {
 public:
  Generator(double rate, uint64_t count) : rate_(rate), count_(count) {}

  // When the next frame is due, counted from `start_ns`; INT64_MAX once finished.
  int64_t next_due_ns(int64_t start_ns) const {
    if (finished()) {
      return INT64_MAX;
    }
    return start_ns + static_cast<int64_t>(static_cast<double>(generated_ + 1) * 1e9 / rate_);
  }
  // The frame due next; the one after it is due next.
  RawCanMessage take() { return generated_frame(generated_++); }
  bool finished() const { return count_ != 0 && generated_ >= count_; }
  uint64_t generated() const { return generated_; }

 private:
  double rate_;
  uint64_t count_;
  uint64_t generated_ = 0;
};

// The frames of a log with their original spacing, `loops` times over (0:
// without end).
class Replayer {
 public:
  Replayer(std::vector<LogEntry> entries, uint64_t loops)
      : entries_(std::move(entries)), loops_(loops), finished_(entries_.empty()) {}

  // When the next frame is due, counted from `start_ns`; INT64_MAX once finished.
  int64_t next_due_ns(int64_t start_ns) const {
    return finished_ ? INT64_MAX : start_ns + due_us(entries_[next_]) * 1000;
  }
  // The frame due next; the one after it is due next.
  RawCanMessage take() {
    const RawCanMessage frame = entries_[next_].frame;
    ++replayed_;
    if (++next_ == entries_.size()) {
      next_ = 0;
      finished_ = ++loop_ == loops_;
    }
    return frame;
  }
  bool finished() const { return finished_; }
  uint64_t replayed() const { return replayed_; }

 private:
  // When `entry` is due in this loop, counted from the start.
  int64_t due_us(const LogEntry& entry) const {
    const int64_t first_us = entries_.front().time_us;
    const int64_t span_us = entries_.back().time_us - first_us;
    return entry.time_us - first_us + static_cast<int64_t>(loop_) * span_us;
  }

  std::vector<LogEntry> entries_;
  uint64_t loops_;
  bool finished_;
  uint64_t loop_ = 0;
  std::size_t next_ = 0;
  uint64_t replayed_ = 0;
};

}  // namespace zelbor::sim
