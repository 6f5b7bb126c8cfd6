// The link through ordinary faults, with the programs as real processes: a
// reader that pauses past the device's patience, a writer behind a link that
// goes down, a program restarted on its endpoint, and strangers aimed at a
// channel someone holds. Nothing may be lost silently or wait forever.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "generated.h"
#include "listing.h"
#include "loopback.h"
#include "sim_fixture.h"
#include "wire.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;

const std::string kReader = RAW_CAN_READER_PATH;
const std::string kWriter = RAW_CAN_WRITER_PATH;

// A listing of the simulated device's generated frames as runs: the sizes
// of the gaps between listed frames, and whether any frame came twice or out
// of order (then `in_order` is false).
struct Gaps {
  std::vector<uint64_t> sizes;
  bool in_order = true;
  uint64_t listed = 0;
};

Gaps generated_gaps(const std::string& text, uint64_t search = 2'000'000) {
  Gaps gaps;
  uint64_t next = 0;
  for (const ListedFrame& frame : parse_listing(text)) {
    ++gaps.listed;
    uint64_t n = next;
    while (n < next + search && !same_frame(frame, zelbor::sim::generated_frame(n))) {
      ++n;
    }
    if (n == next + search) {
      gaps.in_order = false;
      continue;
    }
    if (n != next) {
      gaps.sizes.push_back(n - next);
    }
    next = n + 1;
  }
  return gaps;
}

bool consecutive_from_zero(const std::vector<uint32_t>& counters, std::size_t from,
                           std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (counters[i] != i - from) {
      return false;
    }
  }
  return true;
}

// Where a restarted writer's batches begin: at the first counter 0 after the first batch.
std::size_t restart_at(const std::vector<uint32_t>& counters) {
  return counters.empty()
             ? 0
             : static_cast<std::size_t>(std::find(counters.begin() + 1, counters.end(), 0u) -
                                        counters.begin());
}

class Recovery : public ProcessTest {
 protected:
  std::unique_ptr<Process> device, paused, witness;

  // A reader on channel 1 (`paused`) of a generating device lists `lines`
  // frames, then stops until the device counts it away and, as `witness` (a
  // reader on channel 0) lists, the bus has carried 100 frames since: so
  // many the device drops for the reader.
  void stop_a_reader_while_away(std::size_t lines) {
    device = start_sim({"--generate", "1000"});
    paused = start({kReader}, "1", "reader.out");
    ASSERT_TRUE(paused->wait_for_lines(1 + lines, milliseconds(5000)));
    witness = start({kReader}, "0", "witness.out");  // once the reader has heard frame 0
    paused->signal(SIGSTOP);
    ASSERT_TRUE(device->wait_for_output("away", milliseconds(10000)));
    ASSERT_TRUE(witness->wait_for_lines(count_lines(witness->output()) + 100, milliseconds(5000)));
  }
};

// Paused past the device's patience (as a stopped reader or a stalled pipe
// would be), the reader keeps its place: it lists the new frames once it
// reads again, and the only gap is what the device dropped while it was away.
TEST_F(Recovery, APausedReaderResumesAndItsOnlyGapIsWhatTheDeviceDropped) {
  ASSERT_NO_FATAL_FAILURE(stop_a_reader_while_away(300));
  paused->signal(SIGCONT);
  ASSERT_TRUE(device->wait_for_output("frames dropped while away)", milliseconds(5000)));
  const std::string events = device->output();
  unsigned long long dropped = 0;
  ASSERT_EQ(std::sscanf(events.c_str() + events.find("back ("), "back (%llu", &dropped), 1);
  const std::size_t at_return = count_lines(paused->output());
  ASSERT_TRUE(paused->wait_for_lines(at_return + 501, milliseconds(5000)))
      << "new frames are listed again";
  paused->signal(SIGINT);
  ASSERT_TRUE(killed_by(paused->wait_exit(milliseconds(5000)), SIGINT));

  const Gaps gaps = generated_gaps(paused->output());
  EXPECT_TRUE(gaps.in_order);
  ASSERT_EQ(gaps.sizes.size(), 1u);
  EXPECT_EQ(gaps.sizes[0], dropped) << "no frame lost beyond what the device dropped";
  EXPECT_EQ(paused->errors(),
            "raw_can_reader: " + std::to_string(dropped) + " frames lost, 0 control records lost\n")
      << "and the loss is named";
}

// Stopped while the device counts it away, the reader still names what the
// device dropped for it: the device's answer to its goodbye tells it.
TEST_F(Recovery, AReaderStoppedWhileAwayNamesWhatTheDeviceDropped) {
  ASSERT_NO_FATAL_FAILURE(stop_a_reader_while_away(100));
  paused->signal(SIGINT);
  paused->signal(SIGCONT);
  ASSERT_TRUE(killed_by(paused->wait_exit(milliseconds(5000)), SIGINT));
  ASSERT_TRUE(device->wait_for_output("left (goodbye)", milliseconds(5000)));
  device->signal(SIGINT);
  ASSERT_TRUE(exited_with(device->wait_exit(milliseconds(5000)), 0));
  const ChannelTotals totals = channel_totals(device->output(), 1);
  ASSERT_TRUE(totals.found);
  const unsigned long long dropped = totals.dropped;
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(paused->errors(), "raw_can_reader: " + std::to_string(dropped) +
                                  " frames lost, 0 control records lost\n");
}

// The writer behind a link that goes down for longer than the device repeats
// anything: once the link is back it goes on, and every batch it handed over
// reached the bus exactly once, in order. Killed and started again on its
// endpoint, it starts clean at counter 0. The queue has room for two batches:
// the killed writer's last may still be in it when the new one's first comes.
TEST_F(Recovery, TheWriterOutlivesAnOutageAndARestartStartsClean) {
  const std::string relay_address = dotted(unique_loopback_address());
  const std::string writer_host = dotted(unique_loopback_address());
  auto sim = start_sim({"--tx-queue", "100"});
  auto relay = start_relay(relay_address);
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(reader->wait_for_output("Start reading", milliseconds(5000)));
  auto writer = start({kWriter}, writer_host, relay_address, "0", "writer.out");
  const auto batches = [&] { return batch_counters(reader->output()).size(); };
  ASSERT_TRUE(wait_until([&] { return batches() >= 5; }, milliseconds(5000)));

  relay->signal(SIGUSR1);
  ASSERT_TRUE(relay->wait_for_output("link down", milliseconds(5000)));
  // The outage lasts until the device counts the writer away and so stops
  // repeating anything to it (the reader, on its own link, never is).
  ASSERT_TRUE(sim->wait_for_output("away", milliseconds(10000)));
  relay->signal(SIGUSR2);
  const std::size_t at_link_up = batches();
  ASSERT_TRUE(wait_until([&] { return batches() >= at_link_up + 10; }, milliseconds(5000)))
      << "the writer goes on once the link is back";

  writer->signal(SIGKILL);
  writer->wait_exit(milliseconds(5000));
  writer = start({kWriter}, writer_host, relay_address, "0", "writer2.out");
  ASSERT_TRUE(wait_until(
      [&] {
        const std::vector<uint32_t> counters = batch_counters(reader->output());
        return counters.size() >= restart_at(counters) + 5;
      },
      milliseconds(5000)))
      << "the restarted writer's first batch carries 0";
  writer->signal(SIGINT);
  writer->wait_exit(milliseconds(5000));

  const std::vector<uint32_t> counters = batch_counters(reader->output());
  const std::size_t first_run = restart_at(counters);
  EXPECT_TRUE(consecutive_from_zero(counters, 0, first_run)) << "no gap, no repeat";
  EXPECT_TRUE(consecutive_from_zero(counters, first_run, counters.size()))
      << "the restarted writer counts from 0, after every batch of the first";
  EXPECT_NE(sim->output().find("left (replaced by a new run)"), std::string::npos);
  EXPECT_EQ(writer->output(), "Start writing CAN messages on channel 0:\n");
}

// A second program aimed at a held channel from another address is refused
// at once, and stray datagrams change nothing: the holder lists every frame.
TEST_F(Recovery, StrangersOnAHeldChannelCostItsHolderNothing) {
  auto sim = start_sim({"--generate", "2000", "--count", "4000"});
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(reader->wait_for_lines(1 + 100, milliseconds(5000)));

  UdpEndpoint stray(unique_loopback_address(), 40000);
  ASSERT_TRUE(stray.bound());
  std::vector<uint8_t> hello(zelbor::wire::kHeaderSize);
  hello.resize(zelbor::wire::encode_signal(zelbor::wire::Kind::kHello, {1, 0, 0, 0}, hello.data(),
                                           hello.size()));
  for (int i = 0; i < 100; ++i) {
    stray.send_to(endpoint(device_ip, 34569), hello);
  }
  auto second = start({kReader}, dotted(unique_loopback_address()), address, "1", "second.out");
  EXPECT_TRUE(exited_with(second->wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(second->output(), "INIT_CAN_CHIP failed, exiting ...\n");

  ASSERT_TRUE(reader->wait_for_lines(1 + 4000, milliseconds(10000)));
  reader->signal(SIGINT);
  reader->wait_exit(milliseconds(5000));
  const Gaps gaps = generated_gaps(reader->output());
  EXPECT_TRUE(gaps.in_order);
  EXPECT_TRUE(gaps.sizes.empty());
  EXPECT_EQ(gaps.listed, 4000u);
  EXPECT_NE(sim->output().find("refused (channel held by " + address + ":34570)"),
            std::string::npos);
}

}  // namespace
}  // namespace rawcan::testing
