#include "device_clock.h"

#include <algorithm>
#include <cmath>

namespace rawcan::host {
namespace {

constexpr uint64_t kCountsPerMicrosecond = 32;
// Inputs are held between 0 and these, so no sum or difference below can
// overflow: 2^61 ns is 73 years of a device's run, 2^62 ns 146 years of host time.
constexpr int64_t kMostDeviceNs = int64_t{1} << 61;
constexpr int64_t kMostHostNs = int64_t{1} << 62;

int64_t held(int64_t value, int64_t most) {
  return std::clamp(value, int64_t{0}, most);
}

int64_t rounded(double value) {
  return static_cast<int64_t>(std::llround(value));
}

}  // namespace

int64_t DeviceClock::device_ns(uint64_t counts) {
  const uint64_t whole_us = counts / kCountsPerMicrosecond;
  if (whole_us >= static_cast<uint64_t>(kMostDeviceNs) / 1000) {
    return kMostDeviceNs;
  }
  return static_cast<int64_t>(whole_us * 1000 +
                              counts % kCountsPerMicrosecond * 1000 / kCountsPerMicrosecond);
}

void DeviceClock::restart() {
  const Scale scale = scale_;
  const int64_t last = last_stamp_ns_;
  *this = DeviceClock(scale);
  if (scale == Scale::kHost) {
    last_stamp_ns_ = last;  // host stamps go on from the last one
  }
}

int64_t DeviceClock::line_at(int64_t device_ns) const {
  return offset_ns_ + rounded(rate_ * static_cast<double>(device_ns - anchor_ns_));
}

int64_t DeviceClock::stamp(int64_t device_ns, int64_t arrival_ns) {
  device_ns = held(device_ns, kMostDeviceNs);
  arrival_ns = held(arrival_ns, kMostHostNs);
  if (previous_ns_ != INT64_MIN && device_ns < previous_ns_ - kRestartStepNs) {
    restart();
  }
  previous_ns_ = device_ns;
  const int64_t bound = arrival_ns - device_ns;
  if (!anchored_) {
    anchored_ = true;
    anchor_ns_ = device_ns;
    offset_ns_ = bound;
    window_end_ns_ = device_ns + kWindowNs;
  }
  if (bound < line_at(device_ns) - kStepNs) {
    bounds_.clear();
    window_ = {0, INT64_MAX};
  }
  if (bound < window_.offset_ns) {
    window_ = {device_ns, bound};
  }
  if (device_ns >= window_end_ns_) {
    close_window(device_ns);
  }
  int64_t offset = line_at(device_ns);
  if (bound < offset) {  // the line lies above what this frame proves: lower it
    offset_ns_ = bound - (offset - offset_ns_);
    offset = bound;
  }
  return monotonic(scale_ == Scale::kHost ? device_ns + offset : device_ns);
}

int64_t DeviceClock::stamp(const ZelborHostFrame& frame, int64_t arrival_offset_ns) {
  const int64_t at_ns = held(frame.at_ns, kMostHostNs);
  const int64_t arrival_ns =
      at_ns + std::clamp(arrival_offset_ns, -kMostHostNs, kMostHostNs - at_ns);
  if ((frame.flags & ZELBOR_HOST_NEW_SESSION) != 0) {
    restart();
  }
  if ((frame.flags & ZELBOR_HOST_SENT) != 0) {
    return stamp_sent(arrival_ns);
  }
  const uint64_t counts = uint64_t{frame.frame.time_high} << 32 | frame.frame.time_low;
  return stamp(device_ns(counts), arrival_ns);
}

int64_t DeviceClock::stamp_sent(int64_t written_ns) {
  written_ns = held(written_ns, kMostHostNs);
  if (scale_ == Scale::kDevice) {
    if (!anchored_) {
      return monotonic(0);  // no device time seen yet
    }
    written_ns -= line_at(previous_ns_);
  }
  return monotonic(written_ns);
}

int64_t DeviceClock::monotonic(int64_t stamp_ns) {
  last_stamp_ns_ = std::max(stamp_ns, last_stamp_ns_);
  return last_stamp_ns_;
}

void DeviceClock::close_window(int64_t now_ns) {
  if (bounds_.full()) {
    bounds_.pop_front();
  }
  bounds_.push_back(window_);
  window_ = {0, INT64_MAX};
  window_end_ns_ = now_ns + kWindowNs;
  const std::size_t count = bounds_.size();
  if (count < 2) {
    return;
  }
  // Least squares of offset on device time, about the first point: the
  // differences are small enough for a double to hold them exactly.
  const Bound first = bounds_.front();
  double mean_t = 0;
  double mean_b = 0;
  for (std::size_t i = 0; i < count; ++i) {
    mean_t += static_cast<double>(bounds_[i].device_ns - first.device_ns);
    mean_b += static_cast<double>(bounds_[i].offset_ns - first.offset_ns);
  }
  mean_t /= static_cast<double>(count);
  mean_b /= static_cast<double>(count);
  double spread = 0;
  double covariance = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(bounds_[i].device_ns - first.device_ns) - mean_t;
    spread += t * t;
    covariance += t * (static_cast<double>(bounds_[i].offset_ns - first.offset_ns) - mean_b);
  }
  if (spread <= 0) {
    return;
  }
  rate_ = std::clamp(covariance / spread, -kMostDrift, kMostDrift);
  anchor_ns_ = now_ns;
  offset_ns_ = INT64_MAX;
  for (std::size_t i = 0; i < count; ++i) {
    const Bound& bound = bounds_[i];
    offset_ns_ =
        std::min(offset_ns_,
                 bound.offset_ns + rounded(rate_ * static_cast<double>(now_ns - bound.device_ns)));
  }
}

}  // namespace rawcan::host
