// The link's pure bookkeeping: where numbered datagrams fall in a stream,
// which control records were delivered, the repeats of the records sent,
// and the frame slots' invariant.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "control_repeater.h"
#include "frame_queue.h"
#include "ring.h"
#include "stream.h"

namespace zelbor {
namespace {

using Place = StreamTracker::Place;
constexpr int64_t kMs = 1'000'000;

// Against a std::deque model, through many wraps, at both kinds of capacity.
template <typename RingType>
void check_ring_against_a_model(RingType& ring) {
  std::mt19937 random(7);
  std::deque<int> model;
  for (int step = 0; step < 5000; ++step) {
    const int action = static_cast<int>(random() % 3);
    if (action < 2) {
      EXPECT_EQ(ring.push_back(step), model.size() < ring.capacity());
      if (model.size() < ring.capacity()) {
        model.push_back(step);
      }
    } else {
      EXPECT_EQ(ring.pop_front(), !model.empty());
      if (!model.empty()) {
        model.pop_front();
      }
    }
    ASSERT_EQ(ring.size(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
      ASSERT_EQ(ring[i], model[i]) << "step " << step << ", the " << i << "-th oldest";
    }
  }
}

TEST(Ring, KeepsOrderThroughWrapsAndRefusesBeyondItsCapacity) {
  rawcan::Ring<int, 5> fixed;
  check_ring_against_a_model(fixed);
  rawcan::Ring<int> sized(3);
  check_ring_against_a_model(sized);
  EXPECT_FALSE(sized.pop_back() && sized.pop_back() && sized.pop_back() && sized.pop_back());
}

TEST(StreamTracker, GapsAreCountedAndRepeatsAreBehind) {
  StreamTracker stream(1000, 1000);
  EXPECT_EQ(stream.place(3, 2, 0).place, Place::kAhead) << "numbers start at 0";
  EXPECT_EQ(stream.place(5, 50, 0).place, Place::kNext);
  const auto gap = stream.place(60, 1, 0);
  EXPECT_EQ(gap.place, Place::kAhead);
  EXPECT_EQ(gap.lost, 5);
  EXPECT_EQ(stream.place(5, 50, 0).place, Place::kBehind);
  EXPECT_EQ(stream.next(), 61u);
}

// One datagram numbered far off, however far, is dropped and changes nothing;
// a stream that did move far ahead (a host away for long) is followed from
// its second datagram, and one pushed off by stray numbers comes back once
// the genuine run has lasted the patience with nothing in order.
TEST(StreamTracker, NoSingleDatagramSilencesTheStream) {
  for (const uint32_t stray : {1011u, 0x80000000u, 0xFFFFFFF0u}) {
    StreamTracker stream(1000, 1000);
    ASSERT_EQ(stream.place(0, 10, 0).place, Place::kNext);
    const Place place = stream.place(stray, 1, 0).place;
    EXPECT_TRUE(place == Place::kOutside || place == Place::kBehind) << stray;
    EXPECT_EQ(stream.place(10, 10, 0).place, Place::kNext) << stray;
  }

  {
    StreamTracker stream(1000, 1000);
    stream.place(0, 10, 0);
    EXPECT_EQ(stream.place(500'000, 10, 0).place, Place::kOutside);
    const auto moved = stream.place(500'010, 10, kMs);
    EXPECT_EQ(moved.place, Place::kMoved);
    EXPECT_EQ(moved.lost, 500'000) << "the first datagram of the run counts as lost";
    // Had that run been forged, the genuine one behind wins the stream back
    // and the jump is no longer counted as lost.
    int64_t counted = moved.lost;
    uint32_t genuine = 10;
    for (Place place = Place::kOutside; place != Place::kMoved; genuine += 10) {
      ASSERT_LT(genuine, 1000u);
      const auto result = stream.place(genuine, 10, 2 * kMs + genuine * 100'000);
      place = result.place;
      counted += result.lost;
    }
    EXPECT_EQ(counted, genuine - 20) << "only the genuine frames dropped meanwhile";
  }

  // Pushed ahead by a forger within the window, who keeps its own run going
  // now and then: the genuine run behind outnumbers it and wins the stream
  // back; its numbers no longer count as lost.
  StreamTracker pushed(1000, 1000);
  pushed.place(0, 10, 0);
  const auto stray = pushed.place(900, 1, 0);
  ASSERT_EQ(stray.lost, 890);
  int64_t lost = stray.lost;
  int64_t now = 0;
  uint32_t genuine = 10;
  uint32_t forged = 901;
  Place place = Place::kBehind;
  for (; place != Place::kMoved && now < 2000 * kMs; now += 10 * kMs, genuine += 10) {
    if (now % (100 * kMs) == 0) {
      lost += pushed.place(forged++, 1, now).lost;
    }
    const auto result = pushed.place(genuine, 10, now);
    place = result.place;
    lost += result.lost;
  }
  EXPECT_EQ(place, Place::kMoved);
  EXPECT_LE(now, 2 * int64_t{kRivalMajority} * 10 * kMs);
  EXPECT_EQ(lost, genuine - 20) << "only the genuine frames dropped while pushed off are lost";
  EXPECT_EQ(pushed.place(genuine, 10, now).place, Place::kNext);

  // A slow stream pushed off comes back after the patience.
  StreamTracker slow(1000, 1000);
  slow.place(0, 1, 0);
  slow.place(500, 1, 0);
  EXPECT_NE(slow.place(1, 1, 100 * kMs).place, Place::kMoved);
  EXPECT_NE(slow.place(2, 1, 200 * kMs).place, Place::kMoved);
  EXPECT_EQ(slow.place(3, 1, 100 * kMs + kRivalPatienceNs).place, Place::kMoved);
}

// Late datagrams of a gap that reordering explains, or repeats of what came
// already, never move the stream back, however long nothing arrives in order:
// that would bring numbers after ones already brought.
TEST(StreamTracker, LateRunsOfAReorderedGapOrOfRepeatsNeverMoveItBack) {
  StreamTracker stream(1000, 1000, 100);
  stream.place(0, 10, 0);
  ASSERT_EQ(stream.place(30, 10, 0).place, Place::kAhead);  // 10 to 29 late
  EXPECT_EQ(stream.place(10, 10, kMs).place, Place::kBehind);
  EXPECT_EQ(stream.place(20, 10, 2 * kMs + kRivalPatienceNs).place, Place::kBehind);
  EXPECT_EQ(stream.place(0, 5, 3 * kMs + kRivalPatienceNs).place, Place::kBehind);
  EXPECT_EQ(stream.place(5, 5, 4 * kMs + 2 * kRivalPatienceNs).place, Place::kBehind);
  EXPECT_EQ(stream.next(), 40u);
}

// Duplicates and reordering of a stream that is flowing never move it.
TEST(StreamTracker, DuplicatesOfAFlowingStreamNeverMoveIt) {
  StreamTracker stream(1000, 1000);
  int64_t now = 0;
  for (uint32_t n = 0; n < 2000; n += 2, now += 100 * kMs) {
    EXPECT_NE(stream.place(n, 2, now).place, Place::kMoved);
    EXPECT_NE(stream.place(n - 2, 2, now).place, Place::kMoved);  // the one before again
  }
}

TEST(DeliveredWindow, RemembersTheLastSpanOfNumbers) {
  DeliveredWindow window;
  window.reset(0);
  window.advance(10);
  window.mark(3);
  EXPECT_TRUE(window.covers(3));
  EXPECT_TRUE(window.delivered(3));
  EXPECT_FALSE(window.delivered(4));
  window.advance(3 + DeliveredWindow::kSpan);
  EXPECT_TRUE(window.covers(3));
  EXPECT_TRUE(window.delivered(3));
  window.advance(4 + DeliveredWindow::kSpan);
  EXPECT_FALSE(window.covers(3));
  EXPECT_FALSE(window.delivered(4 + DeliveredWindow::kSpan - 1))
      << "passed-over numbers start clear";
  window.advance(5'000'000);
  EXPECT_FALSE(window.delivered(5'000'000 - 1));
}

std::size_t encode_number(uint32_t number, uint8_t* bytes, std::size_t) {
  std::memcpy(bytes, &number, sizeof number);
  return sizeof number;
}

// The window counts numbers, not waiting records: what falls out of it is
// given up only if still waiting. Repeats go oldest first; clear() stops them.
TEST(ControlRepeater, GivesUpOnlyWaitingRecordsAndRepeatsOldestFirst) {
  ControlRepeater repeater;
  uint64_t given_up = 0;
  const auto add_until = [&](uint32_t next) {
    while (repeater.next_number() != next) {
      repeater.add(0, encode_number, given_up);
    }
  };
  const auto repeated = [&](int64_t now_ns) {
    std::vector<uint32_t> numbers;
    repeater.repeat_all_from(now_ns);
    repeater.repeat_due(now_ns, [&](const ControlRepeater::Datagram& datagram) {
      numbers.push_back(0);
      std::memcpy(&numbers.back(), datagram.bytes, sizeof(uint32_t));
    });
    return numbers;
  };
  add_until(4);
  repeater.acknowledged(1);
  EXPECT_EQ(repeated(1), (std::vector<uint32_t>{0, 2, 3}));
  add_until(kControlWindow + 2);
  EXPECT_EQ(given_up, 1u) << "0 was waiting, 1 was not";
  repeater.acknowledged(0);  // out of the window
  const std::vector<uint32_t> numbers = repeated(2);
  ASSERT_EQ(numbers.size(), kControlWindow);
  EXPECT_EQ(numbers.front(), 2u);
  EXPECT_EQ(repeater.clear(), kControlWindow);
  repeater.acknowledged(kControlWindow);
  add_until(kControlWindow + 3);
  EXPECT_EQ(repeated(3), std::vector<uint32_t>{kControlWindow + 2});
}

// Random lending, queuing, reading and dropping keep every slot in exactly
// one place and deliver frames in the order they were queued.
TEST(FrameQueue, KeepsItsInvariantAndTheOrderOfFrames) {
  auto queue = std::make_unique<FrameQueue>();
  queue->init();
  std::mt19937 random(7);
  uint32_t next_id = 0;
  uint32_t expected_id = 0;
  uint16_t lent[FrameQueue::kSlots];
  for (int step = 0; step < 20000; ++step) {
    const int action = static_cast<int>(random() % 3);
    if (action == 0) {
      const int taken = queue->lend(lent, static_cast<int>(random() % 8));
      for (int i = 0; i < taken; ++i) {
        if (random() % 2 == 0) {
          queue->give_back(lent[i]);
          continue;
        }
        const auto count = static_cast<uint16_t>(1 + random() % wire::kMaxFramesPerDatagram);
        std::vector<RawCanMessage> frames(count);
        for (RawCanMessage& frame : frames) {
          frame.id = next_id++;
        }
        ASSERT_GT(wire::encode_frames({1, 2, 3, 4}, frames.data(), count, queue->bytes(lent[i]),
                                      FrameQueue::kSlotBytes),
                  0u);
        queue->push(lent[i], count);
      }
    } else if (action == 1) {
      RawCanMessage frame{};
      if (queue->pop_frame(frame)) {
        ASSERT_EQ(frame.id, expected_id);
        ++expected_id;
      }
    } else if (random() % 16 == 0) {
      expected_id += queue->drop_oldest();
      // A dropped slot may have been partly read: skip to its end.
    }
    ASSERT_TRUE(queue->consistent()) << "step " << step;
  }
}

}  // namespace
}  // namespace zelbor
