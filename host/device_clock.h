// The device's time on the host's clock, one frame at a time: the python-can
// plugin's timestamps and the bridge's timed playout both come from here.
//
// The device stamps each frame with its own time count (32 a microsecond,
// from its start). Every frame bounds the clocks' offset from above: it
// arrived after the device stamped it, so arrival time minus device time is
// the offset plus the network's delay. The clock keeps the smallest of these
// bounds in each window of kWindowNs of device time, fits a line through the
// last kFitWindows of them (the two clocks drift apart by up to a few parts in
// 10,000), and lays the line at or below every bound seen, so no frame is
// stamped later than it arrived; a frame far below the line starts the fit
// afresh. Stamps never run backwards, and a device
// whose count goes back by more than kRestartStepNs (it restarted) starts a
// new mapping.
//
// The host's time is any count of nanoseconds from 0 the caller passes as
// arrivals (monotonic, or since the epoch); stamps come back on the same scale. With
// Scale::kDevice stamps are the device's own nanoseconds, never back within a
// run of the device.
#pragma once

#include <cstdint>
#include <utility>

#include "ring.h"
#include "zelbor_host.h"

namespace rawcan::host {

inline constexpr int64_t kWindowNs = 5'000'000'000;
inline constexpr std::size_t kFitWindows = 24;  // two minutes of device time
inline constexpr int64_t kRestartStepNs = 1'000'000'000;
inline constexpr double kMostDrift = 1e-3;  // a fitted rate beyond this is noise, not a clock
// A frame this far below the line is a step (a shorter path, the count
// leaping ahead), not drift: the windows before it would bend the fit.
inline constexpr int64_t kStepNs = 2'000'000;

class DeviceClock {
 public:
  enum class Scale { kHost, kDevice };
  explicit DeviceClock(Scale scale = Scale::kHost) : scale_(scale) {}

  // The device's nanoseconds for its time count, saturated far beyond any run.
  static int64_t device_ns(uint64_t counts);

  // The stamp of a frame the device stamped `device_ns` that arrived at `arrival_ns`.
  int64_t stamp(int64_t device_ns, int64_t arrival_ns);
  // The stamp of a frame the host wrote at `written_ns`, among received ones.
  int64_t stamp_sent(int64_t written_ns);
  // A frame as the host driver gives it, read at its at_ns plus
  // `arrival_offset_ns` on the caller's scale: one of ours taken (SENT) is
  // stamped as written then; NEW_SESSION starts a new mapping first.
  int64_t stamp(const ZelborHostFrame& frame, int64_t arrival_offset_ns);
  // The device restarted (its host library says so): a new mapping, as its
  // count may not yet have fallen below the last run's.
  void restart();

 private:
  struct Bound {
    int64_t device_ns;
    int64_t offset_ns;
  };
  int64_t line_at(int64_t device_ns) const;
  void close_window(int64_t now_ns);
  int64_t monotonic(int64_t stamp_ns);

  Scale scale_;
  int64_t last_stamp_ns_ = INT64_MIN;
  Ring<Bound, kFitWindows> bounds_;
  bool anchored_ = false;
  int64_t anchor_ns_ = 0;  // device time the line is anchored at
  int64_t offset_ns_ = 0;  // the line's offset at the anchor
  double rate_ = 0;
  int64_t window_end_ns_ = 0;
  Bound window_{0, INT64_MAX};  // the smallest bound of the open window
  int64_t previous_ns_ = INT64_MIN;
};

}  // namespace rawcan::host
