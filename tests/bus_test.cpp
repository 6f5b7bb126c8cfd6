// The simulated bus on a fake clock: how long frames take, who wins the bus,
// and what a full transmit queue does.
#include "bus.h"

#include <gtest/gtest.h>

#include <vector>

namespace zelbor::sim {
namespace {

RawCanMessage frame(uint32_t id, std::vector<uint8_t> data = {}) {
  RawCanMessage result{};
  result.id = id;
  result.length = static_cast<int8_t>(data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    result.data[i] = data[i];
  }
  return result;
}

// Each pattern runs from start of frame to the end of the CRC, [x] a stuff
// bit; 13 bits follow (delimiters, ACK, end of frame, intermission).
TEST(FrameBits, MatchFramesWorkedOutByHand) {
  // 0 | 00000000000 | 0 0 0 | 0000 | CRC 000000000000000: 34 bits, 6 stuffed
  // 00000[1]00000[1]00000[1]00000[1]00000[1]00000[1]0000
  EXPECT_EQ(frame_bits(frame(0x000)), 34 + 6 + 13);
  // 0 | 11111111111 | 000 | 0000 | CRC 0x272F = 010011100101111
  // 011111[0]11111[0]100000[1]00010011100101111
  EXPECT_EQ(frame_bits(frame(0x7FF)), 34 + 3 + 13);
  // 0 | 10101010101 | 000 | 0001 | 10101010 | CRC 0x7802 = 111100000000010
  // 01010101010100000[1]0110101010111100000[1]000010
  EXPECT_EQ(frame_bits(frame(0x555, {0xAA})), 42 + 2 + 13);
  // 0 | 00000000000 | 1 1 | 18 zeros | 0 00 | 0000 | CRC 0x4610 = 100011000010000
  // 00000[1]00000[1]001100000[1]00000[1]00000[1]00000[1]00000[1]100011000010000
  EXPECT_EQ(frame_bits(frame(RAW_CAN_EXTENDED_FLAG)), 54 + 7 + 13);
  // The writer's first frame: 0x3E8, eight zero bytes, CRC 0x297E: 16 stuffed.
  EXPECT_EQ(frame_bits(frame(0x3E8, std::vector<uint8_t>(8, 0))), 98 + 16 + 13);
  // A stuff bit after the CRC's last five equal bits is sent too.
  EXPECT_EQ(frame_bits(frame(RAW_CAN_EXTENDED_FLAG | 0x1FFFFFFF, std::vector<uint8_t>(8, 0xFF))),
            118 + 18 + 13);
}

TEST(FrameBits, StayWithinTheirBoundsForAnyFrame) {
  for (uint32_t n = 0; n < 20000; ++n) {
    RawCanMessage f = frame(n % 3 == 0 ? (RAW_CAN_EXTENDED_FLAG | n * 7919) : n % 2048);
    f.length = static_cast<int8_t>(n % 9);
    for (int i = 0; i < 8; ++i) {
      f.data[i] = static_cast<uint8_t>(n * 31 + i * 17);
    }
    const bool extended = (f.id & RAW_CAN_EXTENDED_FLAG) != 0;
    const int plain = (extended ? 67 : 47) + 8 * f.length;
    const int stuffed_region = plain - 13;
    EXPECT_GE(frame_bits(f), plain);
    EXPECT_LE(frame_bits(f), plain + (stuffed_region - 1) / 4);
  }
}

TEST(Bus, LowerIdentifiersWinAndAStandardFrameBeatsAnExtendedOne) {
  Bus bus(500'000);
  const int a = bus.add_node(8), b = bus.add_node(8), c = bus.add_node(8);
  bus.offer(a, frame(0x200), 0);
  bus.offer(a, frame(0x001), 0);  // behind 0x200 in its own queue
  bus.offer(b, frame(RAW_CAN_EXTENDED_FLAG | (0x100u << 18)), 0);
  bus.offer(c, frame(0x100), 0);
  std::vector<uint32_t> order;
  bus.run_until(1'000'000'000,
                [&](int, const RawCanMessage& f, int64_t) { order.push_back(f.id); });
  EXPECT_EQ(order,
            (std::vector<uint32_t>{0x100, RAW_CAN_EXTENDED_FLAG | (0x100u << 18), 0x200, 0x001}));
}

// Frames follow each other back to back, each stamped when its end of frame
// passed; a frame offered while the bus is busy waits for it to be free.
TEST(Bus, FramesHoldTheBusForTheirLengthAndAreStampedAtTheirEndOfFrame) {
  Bus bus(125'000);  // 8 us a bit
  const int node = bus.add_node(4);
  const RawCanMessage first = frame(0x000);   // 53 bits
  const RawCanMessage second = frame(0x7FF);  // 50 bits
  bus.offer(node, first, 1000);
  bus.offer(node, second, 2000);
  std::vector<int64_t> stamps;
  const auto collect = [&](int, const RawCanMessage&, int64_t at) { stamps.push_back(at); };
  bus.run_until(1000 + 50 * 8000 - 1, collect);
  EXPECT_TRUE(stamps.empty()) << "not before its end of frame";
  bus.run_until(10'000'000, collect);
  ASSERT_EQ(stamps.size(), 2u);
  EXPECT_EQ(stamps[0], 1000 + 50 * 8000);
  EXPECT_EQ(stamps[1], 1000 + 53 * 8000 + 47 * 8000);
  EXPECT_EQ(bus.busy_ns(), (53 + 50) * 8000);
  EXPECT_TRUE(bus.idle());
}

TEST(Bus, AFullQueueRefusesAndCountsAndTheIdealBusHasNoQueue) {
  Bus bus(125'000);
  const int node = bus.add_node(3);
  int taken = 0;
  for (int i = 0; i < 5; ++i) {
    taken += bus.offer(node, frame(0x10), 0) ? 1 : 0;
  }
  EXPECT_EQ(taken, 3);
  EXPECT_EQ(bus.stats(node).dropped, 2u);

  Bus ideal(0);
  const int fast = ideal.add_node(1);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(ideal.offer(fast, frame(0x10), 7));
  }
  int passed = 0;
  ideal.run_until(7, [&](int, const RawCanMessage&, int64_t at) {
    EXPECT_EQ(at, 7);
    ++passed;
  });
  EXPECT_EQ(passed, 5);
}

}  // namespace
}  // namespace zelbor::sim
