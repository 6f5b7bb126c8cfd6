// The simulated device's own traffic: a load generator and a log replay,
// each a node on the bus with a transmit queue of its own. Both start when
// the first host listens, and offer each frame when it is due; the bus may
// hold it in the queue, or drop it when the queue is full.
#pragma once

#include <cstdint>
#include <vector>

#include "candump.h"
#include "generated.h"

namespace zelbor::sim {

// `rate` frames a second, frame n being generated_frame(n); stops after
// `count` frames unless 0.
class Generator {
 public:
  Generator(double rate, uint64_t count) : rate_(rate), count_(count) {}

  // Calls offer(frame) for every frame due by `now_ns`, counted from `start_ns`.
  template <typename Offer>
  void run(int64_t start_ns, int64_t now_ns, Offer&& offer) {
    const double elapsed_s = static_cast<double>(now_ns - start_ns) * 1e-9;
    auto due = static_cast<uint64_t>(elapsed_s * rate_);
    if (count_ != 0 && due > count_) {
      due = count_;
    }
    for (; generated_ < due; ++generated_) {
      offer(generated_frame(generated_));
    }
  }
  // When the next frame is due, counted from `start_ns`; INT64_MAX once finished.
  int64_t next_due_ns(int64_t start_ns) const {
    if (finished()) {
      return INT64_MAX;
    }
    // A nanosecond late rather than early, so run() then has the frame due.
    return start_ns + static_cast<int64_t>(static_cast<double>(generated_ + 1) / rate_ * 1e9) + 1;
  }
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

  template <typename Offer>
  void run(int64_t start_ns, int64_t now_ns, Offer&& offer) {
    if (finished_) {
      return;
    }
    const int64_t elapsed_us = (now_ns - start_ns) / 1000;
    // Bounded per call, so a log whose frames share one time cannot loop here forever.
    for (int budget = 100000; budget > 0; --budget) {
      const LogEntry& entry = entries_[next_];
      if (due_us(entry) > elapsed_us) {
        return;
      }
      offer(entry.frame);
      ++replayed_;
      if (++next_ == entries_.size()) {
        next_ = 0;
        if (++loop_ == loops_) {
          finished_ = true;
          return;
        }
      }
    }
  }
  int64_t next_due_ns(int64_t start_ns) const {
    return finished_ ? INT64_MAX : start_ns + due_us(entries_[next_]) * 1000;
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
