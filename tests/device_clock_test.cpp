// The device clock through its C interface, fed numbers: an hour of drift
// cannot be made to happen through a bus.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "zelbor_host.h"

namespace {

class Clock {
 public:
  explicit Clock(int32_t scale) { EXPECT_EQ(ZelborHostClockCreate(scale, &clock_), 0); }
  ~Clock() { ZelborHostClockDestroy(clock_); }
  // A frame the device stamped at `device_ns` and the host read at `at_ns`.
  int64_t stamp(int64_t device_ns, int64_t at_ns, uint32_t flags = 0) {
    ZelborHostFrame frame{};
    const uint64_t counts = static_cast<uint64_t>(device_ns) * 32 / 1000;
    frame.frame.time_high = static_cast<uint32_t>(counts >> 32);
    frame.frame.time_low = static_cast<uint32_t>(counts);
    frame.flags = flags;
    frame.at_ns = at_ns;
    int64_t stamp = 0;
    EXPECT_EQ(ZelborHostClockStamp(clock_, &frame, 1, 0, &stamp), 1);
    return stamp;
  }
  int64_t sent(int64_t at_ns) { return stamp(0, at_ns, ZELBOR_HOST_SENT); }
  ZelborHostClock* get() { return clock_; }

 private:
  ZelborHostClock* clock_ = nullptr;
};

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kS = 1'000'000'000;

// A device clock fast by `drift`, over an hour, a frame every 10 ms, each
// delayed at least 0.2 ms and often far more; returns the last stamp.
int64_t follow_drift(Clock& clock, double drift) {
  std::mt19937_64 generator(7);
  std::exponential_distribution<double> extra_delay(1.0 / 2e6);
  const int64_t epoch = 1'800'000'000 * kS;
  int64_t last = 0;
  for (int step = 0; step < 360'000; ++step) {
    const int64_t device = 50 * kS + int64_t{step} * 10 * kMs;
    const int64_t sent = epoch + std::llround(static_cast<double>(device) / (1 + drift));
    const int64_t arrival = sent + kMs / 5 + std::llround(extra_delay(generator));
    const int64_t stamp = clock.stamp(device, arrival);
    EXPECT_GE(stamp, last) << step;
    EXPECT_LE(stamp, arrival) << step;
    if (step > 1000 && std::llabs(stamp - sent) >= kMs) {
      ADD_FAILURE() << "drift " << drift << ", frame " << step << ": off by " << stamp - sent;
      break;
    }
    last = stamp;
  }
  return last;
}

TEST(DeviceClock, FollowsDriftWithinAMillisecondAndNeverRunsBackwards) {
  Clock slow(ZELBOR_HOST_CLOCK_HOST);
  follow_drift(slow, -100e-6);
  Clock clock(ZELBOR_HOST_CLOCK_HOST);
  const int64_t last = follow_drift(clock, 100e-6);
  // The device restarts: its count starts again from 0, the stamps go on.
  EXPECT_GE(clock.stamp(kS / 2, last + kS), last);
  EXPECT_LT(std::llabs(clock.stamp(3 * kS / 2, last + 2 * kS + kMs / 2) - (last + 2 * kS)), kMs);
}

// The least delay drops from 10 ms to 1 ms (a shorter path; a count that
// leaps ahead looks the same): a step, not drift, so the stamps follow it
// at once instead of sliding below the truth while the old windows last.
TEST(DeviceClock, TakesAStepDownInTheLeastDelayAsAStepNotDrift) {
  Clock clock(ZELBOR_HOST_CLOCK_HOST);
  for (int64_t device = 0; device < 120 * kS; device += 10 * kMs) {
    const int64_t arrival = kS + device + (device < 60 * kS ? 10 : 1) * kMs;
    const int64_t stamp = clock.stamp(device, arrival);
    if (device > 61 * kS) {
      ASSERT_LE(arrival - stamp, 2 * kMs) << device;
    }
  }
}

TEST(DeviceClock, StampsSentFramesAmongReceivedOnesOnTheirScale) {
  Clock host(ZELBOR_HOST_CLOCK_HOST);
  Clock device(ZELBOR_HOST_CLOCK_DEVICE);
  EXPECT_EQ(device.sent(1000 * kS), 0);  // no device time seen yet
  host.stamp(10 * kS, 1010 * kS);
  device.stamp(10 * kS, 1010 * kS);
  EXPECT_EQ(host.stamp(10'500 * kMs, 1010'600 * kMs), 1010'500 * kMs);
  EXPECT_EQ(device.stamp(10'500 * kMs, 1010'600 * kMs), 10'500 * kMs);
  // Written before the last frame arrived: not stamped before it.
  EXPECT_EQ(host.sent(1010'200 * kMs), 1010'500 * kMs);
  EXPECT_EQ(device.sent(1010'200 * kMs), 10'500 * kMs);
  EXPECT_EQ(host.sent(1011 * kS), 1011 * kS);
  EXPECT_EQ(device.sent(1011 * kS), 11 * kS);
  // A frame from the bus read after the sent one: never before it.
  EXPECT_EQ(host.stamp(10'900 * kMs, 1011'100 * kMs), 1011 * kS);
  EXPECT_EQ(device.stamp(10'900 * kMs, 1011'100 * kMs), 11 * kS);
  // A restart the library reports maps anew, though the count went back by
  // less than a step that would show it: device stamps start again.
  EXPECT_EQ(device.stamp(10'000 * kMs, 1020 * kS, ZELBOR_HOST_NEW_SESSION), 10 * kS);
  EXPECT_EQ(host.stamp(10'000 * kMs, 1020 * kS, ZELBOR_HOST_NEW_SESSION), 1020 * kS);
}

TEST(DeviceClock, HoldsAnyCountAndTimeAndRefusesBadArguments) {
  Clock clock(ZELBOR_HOST_CLOCK_HOST);
  const int64_t times[] = {INT64_MIN, -1, 0, 1, INT64_MAX};
  int64_t last = INT64_MIN;
  for (const uint32_t high : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    for (const int64_t at : times) {
      for (const int64_t offset : times) {
        ZelborHostFrame frame{};
        frame.frame.time_high = high;
        frame.frame.time_low = 0xFFFFFFFFu;
        frame.at_ns = at;
        int64_t stamp = 0;
        ASSERT_EQ(ZelborHostClockStamp(clock.get(), &frame, 1, offset, &stamp), 1);
        ASSERT_GE(stamp, last);
        last = stamp;
      }
    }
  }
  ZelborHostClock* none = nullptr;
  EXPECT_EQ(ZelborHostClockCreate(2, &none), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(none, nullptr);
  ZelborHostFrame frame{};
  EXPECT_EQ(ZelborHostClockStamp(clock.get(), &frame, 1, 0, nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(ZelborHostClockStamp(clock.get(), nullptr, -1, 0, nullptr), ZELBOR_ERR_ARGUMENT);
}

}  // namespace
