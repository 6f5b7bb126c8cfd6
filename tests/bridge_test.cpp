// The bridge's frame conversion and transmit rules, without a kernel or a device.
#include <gtest/gtest.h>
#include <linux/can/error.h>

#include <cstring>
#include <random>
#include <vector>

#include "frames.h"
#include "playout.h"
#include "transmit_queue.h"

namespace rawcan::bridge {
using host::kMaxWrite;
using host::TransmitQueue;
namespace {

RawCanMessage numbered(uint32_t number) {
  RawCanMessage frame{};
  frame.id = number;
  frame.length = 1;
  return frame;
}

TEST(BridgeFrames, KeepIdentifiersAndLengthsAndRefuseWhatTheRecordCannotCarry) {
  can_frame extended{};
  extended.can_id = CAN_EFF_FLAG | 0x1ABCDEF0;
  extended.can_dlc = 3;
  std::memcpy(extended.data, "\xDE\xAD\xBE", 3);
  RawCanMessage record{};
  ASSERT_EQ(to_record(extended, record), Conversion::kFrame);
  EXPECT_EQ(record.id, RAW_CAN_EXTENDED_FLAG | 0x1ABCDEF0u);
  EXPECT_EQ(record.length, 3);
  const can_frame back = to_can_frame(record);
  EXPECT_EQ(back.can_id, extended.can_id);
  EXPECT_EQ(back.can_dlc, 3);
  EXPECT_EQ(std::memcmp(back.data, extended.data, 8), 0);

  RawCanMessage wide{};  // a program may hand the library more than 11 bits and 8 bytes
  wide.id = 0x7FF | 0x1000;
  wide.length = 12;
  EXPECT_EQ(to_can_frame(wide).can_id, 0x7FFu);
  EXPECT_EQ(to_can_frame(wide).can_dlc, 8);

  can_frame remote{};
  remote.can_id = CAN_RTR_FLAG | 0x123;
  EXPECT_EQ(to_record(remote, record), Conversion::kRemoteRequest);
  can_frame error{};
  error.can_id = CAN_ERR_FLAG | CAN_ERR_BUSOFF;
  EXPECT_EQ(to_record(error, record), Conversion::kErrorFrame);
}

TEST(BridgeTransmitQueue, SendsTheRestOfAShortCountFirstAndWaitsForRoom) {
  TransmitQueue queue(120);
  for (uint32_t i = 0; i < 120; ++i) {
    ASSERT_TRUE(queue.push(numbered(i)));
  }
  EXPECT_FALSE(queue.push(numbered(120)));
  RawCanMessage out[kMaxWrite];
  ASSERT_EQ(queue.next_write(0, out), 50);
  EXPECT_EQ(queue.next_write(0, out), 0) << "one write unanswered at a time";
  EXPECT_EQ(queue.report(20, 0), 20);
  ASSERT_TRUE(queue.wake_at_ns());
  EXPECT_EQ(queue.next_write(*queue.wake_at_ns() - 1, out), 0) << "a full queue: pause first";
  ASSERT_EQ(queue.next_write(*queue.wake_at_ns(), out), 50);
  EXPECT_EQ(out[0].id, 20u);
  EXPECT_EQ(out[49].id, 69u);

  // With room reports: only what fits, then the ROOM record after half drained.
  queue.report(50, 0, 10, 1);
  EXPECT_EQ(queue.next_write(1, out), 0);
  queue.room_report(40, 64, 0);  // older than the report: ignored
  EXPECT_EQ(queue.next_write(1, out), 0);
  queue.room_report(32, 64, 1);
  ASSERT_EQ(queue.next_write(1, out), 32);
  EXPECT_EQ(out[0].id, 70u);
}

TEST(BridgeTransmitQueue, KeepsSeveralWritesOutWithinTheRoomAndNeverReorders) {
  TransmitQueue queue(1000);
  for (uint32_t i = 0; i < 300; ++i) {
    queue.push(numbered(i));
  }
  queue.room_report(256, 256, 0xFFFFFFFF);
  RawCanMessage out[kMaxWrite];
  for (int write = 0; write < 5; ++write) {
    ASSERT_EQ(queue.next_write(0, out), 50) << write;
  }
  EXPECT_EQ(queue.next_write(0, out), 0) << "250 of 256 out: too little room for more";
  EXPECT_EQ(queue.report(50, 0, 206, 1), 0) << "write 1 answered first: nothing settles";
  EXPECT_EQ(queue.report(50, 0, 156, 0), 100);
  EXPECT_EQ(queue.report(20, 0, 0, 2), 20);  // short, with writes 3 and 4 out
  EXPECT_EQ(queue.frames_given_up(), 30u) << "the rest would land after later frames";
  EXPECT_EQ(queue.report(50, 0, 0, 3) + queue.report(50, 0, 0, 4), 100);
  EXPECT_EQ(queue.size(), 50u);
}

// Discarding drops only the frames not yet written, and a report that names
// no write answers the oldest unanswered one.
TEST(BridgeTransmitQueue, DiscardKeepsTheWritesOutAndAnUnnamedReportAnswersTheOldest) {
  TransmitQueue queue(150);
  for (uint32_t i = 0; queue.push(numbered(i)); ++i) {
  }
  queue.room_report(256, 256, 0xFFFFFFFF);
  RawCanMessage out[kMaxWrite];
  ASSERT_EQ(queue.next_write(0, out), 50);
  ASSERT_EQ(queue.next_write(0, out), 50);
  EXPECT_EQ(queue.discard_unwritten(), 50u);
  TransmitQueue::TakenFrames taken;
  EXPECT_EQ(queue.report(50, 0, std::nullopt, std::nullopt, &taken), 50);
  ASSERT_EQ(taken.size(), 50u);
  EXPECT_EQ(taken.front().first.id, 0u);
  EXPECT_EQ(taken.back().first.id, 49u);
  EXPECT_EQ(queue.abandon_flight(), 50);
  EXPECT_EQ(queue.size(), 0u);
}

// A frame the device stamped at `bus_ns` that the bridge read at `at_ns`.
ZelborHostFrame on_bus(int64_t bus_ns, int64_t at_ns) {
  ZelborHostFrame frame{};
  const uint64_t counts = static_cast<uint64_t>(bus_ns) * 32 / 1000;
  frame.frame.time_high = static_cast<uint32_t>(counts >> 32);
  frame.frame.time_low = static_cast<uint32_t>(counts);
  frame.at_ns = at_ns;
  return frame;
}

// A frame every 10 ms and, each 100 ms, a burst of 20 back to back, over a
// minute, each datagram sent at the device's next millisecond and read up to
// 2 ms later: once the clock has its least delay (the first window), the
// bridge plays them out spaced as on the bus to within 0.1 ms (where the line
// moves to a window's least delay), none late, none held past the delay. One then comes 30 ms late:
// it goes at once, counted, and the order holds.
TEST(BridgePlayout, SpacesFramesAsOnTheBusAndSendsALateOneAtOnceInOrder) {
  std::vector<int64_t> bus_times;
  for (int64_t period = 0; period < 6000; ++period) {
    for (int i = 0; i < (period % 10 == 0 ? 21 : 1); ++i) {
      bus_times.push_back(period * 10'000'000 + i * 230'000);  // 0.23 ms a frame
    }
  }
  Playout playout(kDefaultPlayoutDelayNs);
  std::mt19937_64 generator(3);
  std::uniform_int_distribution<int64_t> read_delay(100'000, 2'000'000);
  const int64_t host_ns =
      7'000'000'000'000;  // the host's clock reads this when the device's reads 0
  int64_t last_bus = 0;
  int64_t last_due = INT64_MIN;
  int64_t at = 0;
  for (const int64_t bus : bus_times) {
    if (at == 0 || bus / 1'000'000 != last_bus / 1'000'000) {  // the next datagram
      at = std::max(at, host_ns + (bus / 1'000'000 + 1) * 1'000'000 + read_delay(generator));
    }
    const int64_t due = playout.due_ns(on_bus(bus, at));
    playout.gone(true);
    ASSERT_LE(due - at, kDefaultPlayoutDelayNs) << bus;
    ASSERT_GE(due, last_due) << bus;
    if (bus > host::kWindowNs) {
      ASSERT_NEAR(due - last_due, bus - last_bus, 100'000) << bus;
    }
    last_bus = bus;
    last_due = due;
  }
  EXPECT_EQ(playout.late(), 0u);
  const int64_t bus = last_bus + 10'000'000;
  const int64_t late_at = host_ns + bus + 30'000'000;
  playout.due_ns(on_bus(bus, late_at));
  playout.gone(false);  // dropped (the interface is down): not written late
  EXPECT_EQ(playout.late(), 0u);
  const int64_t late_due = playout.due_ns(on_bus(bus + 10'000'000, late_at + 10'000'000));
  EXPECT_EQ(playout.due_ns(on_bus(bus + 1, late_at + 1)), late_due) << "stamped once";
  playout.gone(true);
  EXPECT_LE(late_due, late_at + 10'000'000);
  EXPECT_EQ(playout.late(), 1u);
  EXPECT_GE(playout.due_ns(on_bus(bus + 10'230'000, late_at + 10'000'000)), late_due);
  EXPECT_EQ(Playout().due_ns(on_bus(bus, late_at)), INT64_MIN) << "untimed: every frame at once";
}

TEST(BridgePlayout, TakesHostBusOrAWholeDelayFromAMillisecondToASecond) {
  EXPECT_FALSE(parse_timing("host")->timed());
  EXPECT_EQ(parse_timing("bus")->delay_ns(), kDefaultPlayoutDelayNs);
  EXPECT_EQ(parse_timing("bus=1")->delay_ns(), 1'000'000);
  EXPECT_EQ(parse_timing("bus=1000")->delay_ns(), 1'000'000'000);
  for (const char* bad : {"", "bus=", "bus=0", "bus=-0", "bus=1001", "bus=-1", "bus=+5", "bus=5ms",
                          "bus=2.5", "Bus", "bus 5", "bus=99999999999999999999"}) {
    EXPECT_FALSE(parse_timing(bad)) << bad;
  }
}

}  // namespace
}  // namespace rawcan::bridge
