// The relay's impairment rules on a fake clock.
#include "impairment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace zelbor::relay {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kStart = 5'000 * kMs;  // not 0, so outages are measured from the start

Datagram datagram(const std::string& text, Direction direction = Direction::kToDevice,
                  uint64_t flow = 1) {
  return Datagram{{direction, flow}, std::vector<uint8_t>(text.begin(), text.end())};
}

class Impairment : public ::testing::Test {
 protected:
  SeededRandom random{42};

  std::vector<std::string> take(Impairer& impairer, int64_t now) {
    std::vector<Datagram> due;
    impairer.take_due(now, due);
    std::vector<std::string> texts;
    for (const Datagram& out : due) {
      texts.emplace_back(out.bytes.begin(), out.bytes.end());
      impairer.record_send(out.route.direction, true);
    }
    return texts;
  }
};

TEST_F(Impairment, LossFollowsEachDirectionsFraction) {
  Impairments settings;
  settings.loss = {0.1, 0.6};
  Impairer impairer(settings, random, kStart);
  for (int i = 0; i < 10000; ++i) {
    impairer.offer(datagram("d", Direction::kToDevice), kStart);
    impairer.offer(datagram("h", Direction::kToHost), kStart);
  }
  EXPECT_EQ(take(impairer, kStart).size(), 20000 - impairer.totals(Direction::kToDevice).lost -
                                               impairer.totals(Direction::kToHost).lost);
  EXPECT_NEAR(impairer.totals(Direction::kToDevice).lost, 1000, 150);
  EXPECT_NEAR(impairer.totals(Direction::kToHost).lost, 6000, 300);
}

TEST_F(Impairment, OutageDropsExactlyItsWindowAndDatagramsInFlight) {
  Impairments settings;
  settings.outages = {{1000 * kMs, 500 * kMs}};
  settings.delay_ns = 10 * kMs;
  Impairer impairer(settings, random, kStart);
  EXPECT_FALSE(impairer.link_down_change(kStart).has_value());
  impairer.offer(datagram("in flight"), kStart + 995 * kMs);
  EXPECT_EQ(impairer.next_event_ns(kStart + 995 * kMs), kStart + 1000 * kMs);
  for (const int64_t at : {999'999'999, 1'000'000'000, 1'499'999'999, 1'500'000'000}) {
    impairer.offer(datagram(std::to_string(at)), kStart + at);
    if (at == 1'000'000'000) {
      EXPECT_EQ(impairer.link_down_change(kStart + at), true);
    }
    take(impairer, kStart + at);
  }
  EXPECT_EQ(impairer.link_down_change(kStart + 1500 * kMs), false);
  EXPECT_EQ(take(impairer, kStart + 2000 * kMs), (std::vector<std::string>{"1500000000"}));
  const DirectionTotals& totals = impairer.totals(Direction::kToDevice);
  EXPECT_EQ(totals.lost_in_outage, 4u);  // two offered inside, two still delayed when it began
  EXPECT_EQ(totals.forwarded, 1u);
}

TEST_F(Impairment, ForcedDownDropsBothWaysUntilBroughtUp) {
  Impairer impairer(Impairments{}, random, kStart);
  impairer.set_forced_down(true);
  EXPECT_EQ(impairer.link_down_change(kStart), true);
  impairer.offer(datagram("a", Direction::kToDevice), kStart);
  impairer.offer(datagram("b", Direction::kToHost), kStart);
  impairer.set_forced_down(false);
  EXPECT_EQ(impairer.link_down_change(kStart), false);
  impairer.offer(datagram("c", Direction::kToHost), kStart);
  EXPECT_EQ(take(impairer, kStart), (std::vector<std::string>{"c"}));
  EXPECT_EQ(impairer.totals(Direction::kToDevice).lost_in_outage, 1u);
  EXPECT_EQ(impairer.totals(Direction::kToHost).lost_in_outage, 1u);
}

TEST_F(Impairment, ReorderSendsTheHeldDatagramAfterTheNextOfItsFlowOrAloneAfterTenMs) {
  Impairments settings;
  settings.reorder = 1;
  Impairer impairer(settings, random, kStart);
  impairer.offer(datagram("first"), kStart);
  impairer.offer(datagram("other flow", Direction::kToDevice, 2), kStart);
  impairer.offer(datagram("other way", Direction::kToHost), kStart);
  EXPECT_TRUE(take(impairer, kStart).empty());
  impairer.offer(datagram("second"), kStart + 1 * kMs);
  EXPECT_EQ(take(impairer, kStart + 1 * kMs), (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(impairer.next_event_ns(kStart + 1 * kMs), kStart + kReorderHoldNs);
  EXPECT_TRUE(take(impairer, kStart + kReorderHoldNs - 1).empty());
  EXPECT_EQ(take(impairer, kStart + kReorderHoldNs).size(), 2u);
  EXPECT_EQ(impairer.totals(Direction::kToDevice).reordered, 1u);
}

TEST_F(Impairment, DuplicateSendsTwiceAndAHeldDatagramKeepsItsCopy) {
  Impairments settings;
  settings.duplicate = 1;
  settings.reorder = 1;
  Impairer impairer(settings, random, kStart);
  impairer.offer(datagram("x"), kStart);
  impairer.offer(datagram("y"), kStart);
  EXPECT_EQ(take(impairer, kStart), (std::vector<std::string>{"y", "y", "x", "x"}));
  EXPECT_EQ(impairer.totals(Direction::kToDevice).duplicated, 2u);
}

TEST_F(Impairment, DelayHoldsUntilDueKeepsOrderAndOverflowIsCounted) {
  Impairments settings;
  settings.delay_ns = 30 * kMs;
  settings.queue_capacity = 100;
  Impairer impairer(settings, random, kStart);
  std::vector<std::string> sent;
  for (int i = 0; i < 101; ++i) {
    impairer.offer(datagram(std::to_string(i)), kStart + i / 2 * 1000);  // pairs at one time
    sent.push_back(std::to_string(i));
  }
  sent.pop_back();
  EXPECT_EQ(impairer.totals(Direction::kToDevice).overflowed, 1u);
  EXPECT_EQ(impairer.next_event_ns(kStart), kStart + 30 * kMs);
  EXPECT_TRUE(take(impairer, kStart + 30 * kMs - 1).empty());
  EXPECT_EQ(take(impairer, kStart + 40 * kMs), sent);
}

TEST_F(Impairment, JitterSpreadsDelayWithinItsBoundsNeverBeforeArrival) {
  Impairments settings;
  settings.delay_ns = 2 * kMs;
  settings.jitter_ns = 5 * kMs;
  Impairer impairer(settings, random, kStart);
  for (int i = 0; i < 1000; ++i) {
    impairer.offer(datagram(std::to_string(i)), kStart);
  }
  EXPECT_EQ(take(impairer, kStart - 1).size(), 0u);
  const std::size_t undelayed = take(impairer, kStart).size();
  EXPECT_NEAR(undelayed, 300, 60);  // draws below -2 ms of the +-5 ms spread
  const std::vector<std::string> rest = take(impairer, kStart + 7 * kMs);
  EXPECT_EQ(undelayed + rest.size(), 1000u);
  EXPECT_FALSE(std::is_sorted(rest.begin(), rest.end(), [](const auto& a, const auto& b) {
    return std::stoi(a) < std::stoi(b);
  }));
}

}  // namespace
}  // namespace zelbor::relay
