// The host driver against a scripted library: what no program's test can
// make happen on time (a record the library already holds, a report that
// answers a write, a full receive buffer), and its C interface's guards.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "host_driver.h"
#include "queue_record.h"
#include "scripted_link.h"
#include "zelbor_host.h"

namespace rawcan::host {
namespace {

using testing::CtrlRead;
using testing::FrameRead;
using testing::Op;
using testing::ScriptedLink;

RawCanMessage numbered(uint32_t number) {
  RawCanMessage frame{};
  frame.id = number;
  return frame;
}

long count_of(const ScriptedLink& link, Op op) {
  const std::vector<Op> ops = link.ops();
  return std::count(ops.begin(), ops.end(), op);
}

// What the library took off its socket inside another call wakes no poll():
// its status says so, and the driver reads at once, not at the next timer.
TEST(HostDriver, ReadsAtOnceWhatTheLibraryAlreadyHolds) {
  ScriptedLink link;
  link.status = ZelborLinkStatus{7, 500, 0, 0, 0};
  HostDriver driver(link, Options{}, 0);
  driver.step(1'000'000);
  const long reads = count_of(link, Op::kCtrlRead);
  ZelborHostWait wait = driver.wait_advice(1'000'000);
  EXPECT_EQ(wait.descriptor, 7);
  EXPECT_EQ(wait.timeout_ns, 249'000'000) << "until the unprompted control read";
  driver.step(2'000'000);
  EXPECT_EQ(count_of(link, Op::kCtrlRead), reads) << "nothing woke it: no control read";

  link.status->wake_within_ms = 0;
  driver.step(3'000'000);  // the status is read in the step
  wait = driver.wait_advice(3'000'000);
  EXPECT_EQ(wait.timeout_ns, 0);
  driver.step(3'000'000);
  EXPECT_GT(count_of(link, Op::kCtrlRead), reads);
}

// Frames the device took come back, marked as ours, with the time their
// write went; frames beyond the receive buffer are counted, never held.
TEST(HostDriver, EchoesTakenFramesAndCountsWhatTheBufferCannotHold) {
  ScriptedLink link;
  Options options;
  options.echo_sent = true;
  options.receive_capacity = 3;
  HostDriver driver(link, options, 0);
  const RawCanMessage sent[2] = {numbered(10), numbered(11)};
  ASSERT_EQ(driver.send(sent, 2), 2u);
  ASSERT_NE(driver.step(5) & ZELBOR_HOST_WROTE, 0);
  CtrlMessage report{};
  report.type = MESSAGE_COUNT;
  report.length = 2;
  report.data[0] = 2;
  link.ctrl_reads.push_back(CtrlRead{0, report});
  for (uint32_t i = 0; i < 2; ++i) {
    link.frame_reads.push_back(FrameRead{0, numbered(100 + i)});
  }
  const int changes = driver.step(9);
  EXPECT_NE(changes & ZELBOR_HOST_TAKEN, 0);
  ZelborHostFrame got[4];
  ASSERT_EQ(driver.receive(got, 4), 3u);
  EXPECT_EQ(got[0].frame.id, 100u);
  EXPECT_EQ(got[0].at_ns, 9);
  EXPECT_EQ(got[1].frame.id, 101u);
  EXPECT_EQ(got[2].frame.id, 10u);
  EXPECT_EQ(got[2].flags, static_cast<uint32_t>(ZELBOR_HOST_SENT));
  EXPECT_EQ(got[2].at_ns, 5);
  EXPECT_EQ(driver.totals().receive_buffer_full, 1u) << "the second echo had no room";
  EXPECT_EQ(driver.totals().frames_taken, 2u);
}

// Frames a short count gives up (later writes were out), frames of a write
// whose report never came, and frames sent again are each counted once; a
// write reported behind an unreported one counts as taken.
TEST(HostDriver, CountsEveryFrameTheDeviceDidNotTakeOnce) {
  ScriptedLink link;
  link.status = ZelborLinkStatus{7, 0, 0, 0, 0};
  HostDriver driver(link, Options{}, 0);
  std::vector<RawCanMessage> frames(200);
  ASSERT_EQ(driver.send(frames.data(), frames.size()), 200u);
  link.ctrl_reads.push_back(CtrlRead{0, queue_record(ZELBOR_ROOM_RECORD, {200, 200, ~0u})});
  driver.wait_advice(0);  // wake_within_ms 0: each step reads control records
  for (int write = 0; write < 3; ++write) {
    ASSERT_NE(driver.step(1) & ZELBOR_HOST_WROTE, 0) << write;
  }
  link.ctrl_reads.push_back(CtrlRead{0, queue_record(MESSAGE_COUNT, {50, 100, 1})});
  link.ctrl_reads.push_back(CtrlRead{0, queue_record(MESSAGE_COUNT, {20, 100, 0})});
  ASSERT_NE(driver.step(2) & ZELBOR_HOST_WROTE, 0);  // write 3, into the room reported
  ZelborHostTotals totals = driver.totals();
  EXPECT_EQ(totals.frames_taken, 70u);
  EXPECT_EQ(totals.frames_not_sent, 30u) << "the rest of write 0 would land after write 1";

  link.ctrl_reads.push_back(CtrlRead{0, queue_record(MESSAGE_COUNT, {50, 100, 3})});
  driver.step(3);  // write 3 answered; write 2's report is lost
  driver.step(kReportOverdueNs + 10);
  totals = driver.totals();
  EXPECT_EQ(totals.frames_not_sent, 80u) << "write 2 was never confirmed";
  EXPECT_EQ(totals.frames_taken, 120u) << "write 3 was";
  EXPECT_EQ(driver.waiting_to_send(), 0u);

  ScriptedLink counts_only;  // the maker's library: a short count sends the rest again
  HostDriver alone(counts_only, Options{}, 0);
  alone.send(frames.data(), 10);
  alone.step(0);
  counts_only.ctrl_reads.push_back(CtrlRead{0, queue_record(MESSAGE_COUNT, {4, 0, 0})});
  alone.step(1);
  EXPECT_EQ(alone.totals().frames_sent_again, 6u);
  EXPECT_EQ(alone.waiting_to_send(), 6u);
}

TEST(HostDriver, TheLossNoteNamesEveryCauseOncePerInterval) {
  ScriptedLink link;
  Options options;
  options.receive_capacity = 1;
  options.receive_loss_name = "vcan0 full";
  HostDriver driver(link, options, 0);
  driver.set_host_losses({{"vcan0 down", 4}});
  link.frame_reads = {FrameRead{0, numbered(1)}, FrameRead{0, numbered(2)}};
  driver.step(0);
  std::string note;
  ASSERT_TRUE(driver.next_note(note));
  EXPECT_EQ(note,
            "5 frames lost so far (link 0, not read in time 0, vcan0 full 1, vcan0 down 4, not "
            "taken by the device 0)");
  link.frame_reads = {FrameRead{0, numbered(3)}};
  driver.step(500'000'000);
  EXPECT_FALSE(driver.next_note(note)) << "a second within the interval";
  driver.step(1'000'000'000);
  EXPECT_TRUE(driver.next_note(note));
}

TEST(HostDriverInterface, RefusesWhatItCannotUse) {
  ZelborHostCalls calls{};
  InterfaceState state{};
  ZelborHostOptions options{};
  options.receive_capacity = options.transmit_capacity = 8;
  ZelborHost* host = reinterpret_cast<ZelborHost*>(1);
  EXPECT_EQ(ZelborHostCreate(&calls, &state, &options, 0, &host), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(ZelborHostStep(nullptr, 0), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(ZelborHostSend(nullptr, nullptr, 0), ZELBOR_ERR_ARGUMENT);
  char text[4];
  EXPECT_EQ(ZelborHostNextNote(nullptr, text, 4), ZELBOR_ERR_ARGUMENT);
}

}  // namespace
}  // namespace rawcan::host
