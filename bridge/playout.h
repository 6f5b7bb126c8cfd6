// When each frame from the device goes to the interface. At once (the
// interface's timestamps are then the moments the bridge wrote them), or at
// its time on the bus mapped onto the host's clock (the device clock, as the
// python-can plugin stamps frames) plus a fixed delay that covers the link's
// batching, so the spacing on the interface is the bus's. A frame that
// reaches the bridge after its slot goes at once and is counted late; frames
// keep their order, and none waits longer than the delay after it arrived.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "device_clock.h"
#include "zelbor_host.h"

namespace rawcan::bridge {

inline constexpr int64_t kDefaultPlayoutDelayNs = 5'000'000;
inline constexpr int64_t kLongestPlayoutDelayNs = 1'000'000'000;

class Playout {
 public:
  // `delay_ns` empty: every frame at once.
  explicit Playout(std::optional<int64_t> delay_ns = std::nullopt) : delay_ns_(delay_ns) {}

  bool timed() const { return delay_ns_.has_value(); }
  int64_t delay_ns() const { return delay_ns_.value_or(0); }
  // When `front`, the oldest frame not yet gone, is due on the monotonic
  // clock its at_ns is on. Each frame is stamped once, at its first asking.
  int64_t due_ns(const ZelborHostFrame& front);
  // The front frame went, written or dropped: the next is asked for anew.
  void gone(bool written) {
    late_ += written && front_late_ ? 1 : 0;
    front_due_ns_.reset();
  }
  uint64_t late() const { return late_; }  // frames written at once, after their slot

 private:
  std::optional<int64_t> delay_ns_;
  host::DeviceClock clock_;
  std::optional<int64_t> front_due_ns_;
  bool front_late_ = false;
  uint64_t late_ = 0;
};

// The playout a --timing MODE asks for: "host" (at once), "bus" (the default
// delay) or "bus=DELAY_MS", whole milliseconds from 1 (at 0 nearly every
// frame would be late) up to the longest delay; empty for anything else.
std::optional<Playout> parse_timing(std::string_view mode);

}  // namespace rawcan::bridge
