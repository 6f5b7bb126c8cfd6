#include "sim_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrivals.h"
#include "captured_output.h"
#include "generated.h"
#include "loopback.h"
#include "seat.h"
#include "simulation.h"

namespace zelbor::sim {
namespace {

using rawcan::testing::endpoint;

struct Sent {
  int channel;
  sockaddr_in to;
  wire::Datagram datagram;
  std::vector<uint8_t> bytes;
};

class RecordingOutbox final : public Outbox {
 public:
  std::vector<std::vector<uint8_t>> storage;
  std::vector<Sent> sent;
  bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) override {
    Sent entry{channel, to, {}, std::vector<uint8_t>(bytes, bytes + size)};
    EXPECT_EQ(wire::decode(entry.bytes.data(), entry.bytes.size(), entry.datagram),
              wire::DecodeError::kNone);
    sent.push_back(std::move(entry));
    sent.back().datagram.payload = sent.back().bytes.data() + wire::kHeaderSize;
    return true;
  }
  std::vector<const Sent*> of_kind(wire::Kind kind) const {
    std::vector<const Sent*> result;
    for (const Sent& s : sent) {
      if (s.datagram.header.kind == kind) {
        result.push_back(&s);
      }
    }
    return result;
  }
};

// The control records sent to a channel, of one type or of any (-1), repeats included.
std::vector<CtrlMessage> controls_to(const RecordingOutbox& outbox, int channel, int type = -1) {
  std::vector<CtrlMessage> records;
  for (const Sent* sent : outbox.of_kind(wire::Kind::kControl)) {
    CtrlMessage record{};
    wire::control_record(sent->datagram, record);
    if (sent->channel == channel && (type < 0 || record.type == type)) {
      records.push_back(record);
    }
  }
  return records;
}

// A MESSAGE_COUNT's or ROOM's fields: two u16, then a frame datagram's number.
std::tuple<int, int, uint32_t> queue_fields(const CtrlMessage& record) {
  const uint8_t* d = record.data;
  return {d[0] | d[1] << 8, d[2] | d[3] << 8, d[4] | d[5] << 8 | d[6] << 16 | uint32_t{d[7]} << 24};
}

// The type and number an ACK datagram acknowledges.
std::pair<uint16_t, uint32_t> acked(const Sent& ack) {
  CtrlMessage record{};
  wire::control_record(ack.datagram, record);
  std::pair<uint16_t, uint32_t> result{};
  EXPECT_TRUE(wire::parse_ack(record, result.first, result.second));
  return result;
}

const sockaddr_in kHostA = endpoint(0x7F000001, 34568);
const sockaddr_in kHostB = endpoint(0x7F000001, 34570);
const sockaddr_in kStranger = endpoint(0x7F000002, 34568);
constexpr uint32_t kSession = 77;

// A host's datagrams: its own numbering of control records and frame datagrams.
struct Host {
  uint32_t session = kSession;
  uint32_t peer = 0;  // the device's session, once heard
  uint32_t next_control = 0;
  uint32_t next_batch = 0;

  uint32_t run_start_ms = 0;
  uint32_t oldest_held = 0;  // the ack field: its oldest frame datagram not yet taken

  wire::Envelope envelope(uint32_t sequence) const {
    return {session, peer, sequence, oldest_held};
  }
  std::vector<uint8_t> signal(wire::Kind kind) const {
    std::vector<uint8_t> bytes(64);
    bytes.resize(wire::encode_signal(kind, envelope(kind == wire::Kind::kHello ? run_start_ms : 0),
                                     bytes.data(), bytes.size()));
    return bytes;
  }
  std::vector<uint8_t> init() { return control(INIT_CAN_CHIP, 10); }
  std::vector<uint8_t> control(uint16_t type, uint16_t length = 0) {
    CtrlMessage record{};
    record.type = type;
    record.length = length;
    std::vector<uint8_t> bytes(128);
    bytes.resize(wire::encode_control(wire::Kind::kControl, envelope(next_control++), record,
                                      bytes.data(), bytes.size()));
    return bytes;
  }
  std::vector<uint8_t> frames(int count, uint32_t number) const {
    std::vector<RawCanMessage> batch(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      batch[i].id = 1000 + static_cast<uint32_t>(i);
      batch[i].length = 8;
    }
    std::vector<uint8_t> bytes(wire::kMaxDatagram);
    bytes.resize(wire::encode_frames(envelope(number), batch.data(), batch.size(), bytes.data(),
                                     bytes.size()));
    return bytes;
  }
  std::vector<uint8_t> frames(int count) { return frames(count, next_batch++); }
  std::vector<uint8_t> ack(uint32_t number) const {
    std::vector<uint8_t> bytes(64);
    bytes.resize(wire::encode_ack(envelope(0), MESSAGE_COUNT, number, bytes.data(), bytes.size()));
    return bytes;
  }
};

class SimDeviceTest : public ::testing::Test {
 protected:
  rawcan::testing::CapturedOutput events;
  SimDevice device{2, {}, 1, 0, events.file()};
  RecordingOutbox outbox;
  Host a;
  Host b;

  void deliver(int channel, const sockaddr_in& from, const std::vector<uint8_t>& bytes,
               int64_t now_ns = 0) {
    device.handle(channel, from, bytes.data(), bytes.size(), now_ns, outbox);
  }
  std::vector<CtrlMessage> controls_to(int channel) const {
    return sim::controls_to(outbox, channel);
  }
};

TEST_F(SimDeviceTest, AcknowledgesInitCanChipWithTheSequenceItCameWith) {
  a.next_control = 41;
  deliver(0, kHostA, a.init());
  const auto acks = outbox.of_kind(wire::Kind::kAck);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acked(*acks[0]), std::make_pair(uint16_t{INIT_CAN_CHIP}, 41u));
  EXPECT_EQ(acks[0]->datagram.header.envelope.peer, kSession) << "addressed to this run";
  EXPECT_NE(acks[0]->datagram.header.envelope.session, 0u);
  EXPECT_NE(events.text().find("channel 0: host 127.0.0.1:34568 joined"), std::string::npos);
}

TEST_F(SimDeviceTest, FramesReachEveryOtherChannelStampedAndTheWriterGetsItsCount) {
  deliver(1, kHostB, b.init());
  outbox.sent.clear();
  deliver(0, kHostA, a.frames(50), 1'000'000);  // 1 ms after start: count 32,000
  device.flush(outbox);
  const auto batches = outbox.of_kind(wire::Kind::kFrames);
  ASSERT_EQ(batches.size(), 1u) << "fifty frames travel in one datagram";
  EXPECT_EQ(batches[0]->channel, 1);
  EXPECT_EQ(batches[0]->datagram.header.count, 50);
  RawCanMessage last{};
  wire::frame_at(batches[0]->datagram, 49, last);
  EXPECT_EQ(last.id, 1049u);
  EXPECT_EQ(last.time_high, 0u);
  EXPECT_EQ(last.time_low, 32000u);

  const auto counts = controls_to(0);
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].type, MESSAGE_COUNT);
  EXPECT_EQ(counts[0].data[0] | (counts[0].data[1] << 8), 50);
  EXPECT_EQ(device.stats(0).frames_in, 50u);
  EXPECT_EQ(device.stats(1).frames_out, 50u);
}

// A repeated frame datagram (its MESSAGE_COUNT was lost) and one after a gap
// are answered with an ack naming the next datagram taken, never taken twice.
TEST_F(SimDeviceTest, HostFramesGoOnTheBusOnceAndInOrder) {
  deliver(1, kHostB, b.init());
  deliver(0, kHostA, a.frames(2, 0));
  deliver(0, kHostA, a.frames(2, 0));
  deliver(0, kHostA, a.frames(2, 2));
  deliver(0, kHostA, a.frames(2, 1));
  device.flush(outbox);
  EXPECT_EQ(device.stats(0).frames_in, 4u);
  EXPECT_EQ(device.stats(0).repeats, 1u);
  EXPECT_EQ(controls_to(0).size(), 2u) << "one MESSAGE_COUNT per datagram taken";
  const auto acks = outbox.of_kind(wire::Kind::kAck);
  ASSERT_EQ(acks.size(), 3u);  // INIT, the repeat, the one after the gap
  EXPECT_EQ(acks[2]->datagram.header.envelope.ack, 1u) << "datagram 1 is taken next";
  EXPECT_EQ(acks[2]->channel, 0);
  EXPECT_EQ(device.stats(1).frames_out, 4u);
}

// A restarted device takes frames only from datagrams that name its session:
// a late copy of a batch its earlier run put on the bus is answered, never
// taken, and the host's ack, ahead of where the copy left the device, moves
// it on to the batch the host sends next.
TEST_F(SimDeviceTest, ARestartedDeviceTakesNoLateCopyAndGoesOnFromTheHostsAck) {
  deliver(1, kHostB, b.init());
  a.peer = 12345;  // the session of the device before it restarted
  a.oldest_held = 7;
  deliver(0, kHostA, a.frames(2, 7));
  ASSERT_EQ(device.stats(0).frames_in, 0u);
  const auto answers = outbox.of_kind(wire::Kind::kAck);
  ASSERT_FALSE(answers.empty());
  a.peer = answers.back()->datagram.header.envelope.session;
  a.oldest_held = 9;
  deliver(0, kHostA, a.frames(2, 9));
  EXPECT_EQ(device.stats(0).frames_in, 2u);
  const auto counts = controls_to(0);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(std::get<2>(queue_fields(counts.back())), 9u);
}

TEST_F(SimDeviceTest, ControlRecordsAreRepeatedUntilAcknowledgedAndGivenUpPastTheWindow) {
  deliver(0, kHostA, a.frames(1));
  ASSERT_EQ(outbox.of_kind(wire::Kind::kControl).size(), 1u);
  device.tick(kControlRetryNs, outbox);
  const auto repeats = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(repeats.size(), 2u);
  EXPECT_EQ(repeats[0]->bytes, repeats[1]->bytes) << "a repeat keeps its number";
  deliver(0, kHostA, a.ack(repeats[0]->datagram.header.envelope.sequence), kControlRetryNs);
  device.tick(3 * kControlRetryNs, outbox);
  EXPECT_EQ(outbox.of_kind(wire::Kind::kControl).size(), 2u);

  for (uint32_t i = 0; i < kControlWindow + 1; ++i) {
    deliver(0, kHostA, a.frames(1), 4 * kControlRetryNs);
  }
  EXPECT_EQ(device.stats(0).controls_dropped, 1u) << "only the oldest falls out of the window";
}

// A host hears the bus once its chip is initialised, or at once when it
// comes back to a device that forgot it: frames before that are not its own.
TEST_F(SimDeviceTest, AHostListensAfterInitOrWhenItKnewTheDeviceBefore) {
  deliver(1, kHostB, b.signal(wire::Kind::kHello));
  deliver(0, kHostA, a.frames(3));
  device.flush(outbox);
  EXPECT_TRUE(outbox.of_kind(wire::Kind::kFrames).empty());
  EXPECT_FALSE(device.host_listening(1));
  EXPECT_TRUE(controls_to(1).empty());
  deliver(1, kHostB, b.init());
  deliver(0, kHostA, a.frames(3));
  device.flush(outbox);
  EXPECT_EQ(outbox.of_kind(wire::Kind::kFrames).size(), 1u);

  SimDevice restarted(2, {}, 2, 0, nullptr);
  RecordingOutbox after_restart;
  Host returning;
  returning.peer = 0xD0D0;  // a session of the device before its restart
  const std::vector<uint8_t> back = returning.signal(wire::Kind::kHello);
  restarted.handle(1, kHostB, back.data(), back.size(), 0, after_restart);
  EXPECT_TRUE(restarted.host_listening(1));
  const auto ready = after_restart.of_kind(wire::Kind::kControl);
  ASSERT_EQ(ready.size(), 1u) << "told the device is back";
  CtrlMessage record{};
  wire::control_record(ready[0]->datagram, record);
  EXPECT_EQ(record.type, wire::kReadyRecordType);
}

// The holder of a channel keeps it while present: a stranger is refused and
// costs it nothing. A silent holder keeps its place and numbering; a
// stranger may then take the seat.
TEST_F(SimDeviceTest, TheHolderKeepsTheChannelAndAStrangerWaitsUntilItIsSilent) {
  deliver(1, kHostB, b.init());
  Host stranger;
  stranger.session = 99;
  deliver(1, kStranger, stranger.init(), 1'000'000);
  const auto refusals = outbox.of_kind(wire::Kind::kRefused);
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0]->datagram.header.envelope.peer, 99u);
  EXPECT_EQ(device.stats(1).refused, 1u);
  EXPECT_TRUE(device.host_listening(1)) << "the holder lost nothing";

  device.tick(kHostTimeoutNs + 2'000'000, outbox);
  EXPECT_FALSE(device.host_present(1));
  deliver(0, kHostA, a.frames(5), kHostTimeoutNs + 3'000'000);  // missed while away
  deliver(1, kHostB, b.signal(wire::Kind::kHello), kHostTimeoutNs + 4'000'000);
  EXPECT_TRUE(device.host_present(1)) << "back in its own seat";
  deliver(0, kHostA, a.frames(1), kHostTimeoutNs + 5'000'000);
  device.flush(outbox);
  const auto to_b = outbox.of_kind(wire::Kind::kFrames);
  ASSERT_EQ(to_b.size(), 1u);
  EXPECT_EQ(to_b[0]->datagram.header.envelope.sequence, 5u) << "the missed frames are a gap";
  EXPECT_EQ(device.stats(1).dropped, 5u);

  const int64_t silent = kHostTimeoutNs + 4'000'000;  // last heard
  device.tick(silent + kHostTimeoutNs + 1, outbox);
  deliver(1, kStranger, stranger.signal(wire::Kind::kHello), silent + kStrangerWaitNs);
  EXPECT_EQ(device.stats(1).refused, 2u) << "a stray datagram never takes a seat";
  deliver(1, kStranger, stranger.init(), silent + kStrangerWaitNs - 1);
  EXPECT_EQ(device.stats(1).refused, 3u) << "nor a program, within a minute of the holder";
  deliver(1, kStranger, stranger.init(), silent + kStrangerWaitNs);
  EXPECT_EQ(device.stats(1).refused, 3u);
  const std::string text = events.text();
  EXPECT_NE(text.find("channel 1: host 127.0.0.2:34568 refused"), std::string::npos);
  EXPECT_NE(text.find("back (5 frames dropped while away)"), std::string::npos);
  EXPECT_NE(text.find("channel 1: host 127.0.0.1:34570 left (replaced by 127.0.0.2:34568)"),
            std::string::npos);
}

// A program restarted on the same endpoint starts afresh; late datagrams of
// its earlier run, even its first HELLO, do not take the seat back. The
// holder's HELLOs are answered, so a host hears the device on a quiet bus.
TEST_F(SimDeviceTest, ARestartedProgramStartsCleanAndItsEarlierRunStaysGone) {
  a.run_start_ms = 1000;
  deliver(0, kHostA, a.signal(wire::Kind::kHello));
  deliver(0, kHostA, a.signal(wire::Kind::kHello));
  deliver(0, kHostA, a.init());
  deliver(0, kHostA, a.frames(1));
  Host restarted;
  restarted.session = 78;
  restarted.run_start_ms = 1001;
  deliver(0, kHostA, restarted.signal(wire::Kind::kHello));
  deliver(0, kHostA, a.signal(wire::Kind::kHello));  // late, from the run before
  a.peer = outbox.sent.front().datagram.header.envelope.session;
  deliver(0, kHostA, a.frames(1));
  deliver(0, kHostA, restarted.frames(1));
  EXPECT_EQ(device.stats(0).frames_in, 2u);
  EXPECT_EQ(device.stats(0).ignored, 2u);
  const auto counts = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts[1]->datagram.header.envelope.peer, 78u);
  EXPECT_EQ(counts[1]->datagram.header.envelope.sequence, 0u) << "numbered afresh";
  const auto acks = outbox.of_kind(wire::Kind::kAck);
  ASSERT_EQ(acks.size(), 4u) << "three HELLOs and INIT_CAN_CHIP; not the late HELLO";
  EXPECT_EQ(acked(*acks[3]), std::make_pair(wire::kAliveAckedType, wire::kAliveAckedNumber));
  EXPECT_NE(events.text().find("left (replaced by a new run)"), std::string::npos);
}

// A host whose seat was given up while it still held a datagram the device
// had taken (its MESSAGE_COUNT lost) gets no second copy onto the bus.
TEST_F(SimDeviceTest, AHostBackAfterLosingItsSeatHasNothingTakenTwice) {
  deliver(0, kHostA, a.frames(1, 0));
  device.tick(kStrangerWaitNs, outbox);
  Host stranger;
  stranger.session = 99;
  deliver(0, kStranger, stranger.init(), kStrangerWaitNs + 1);
  deliver(0, kStranger, stranger.signal(wire::Kind::kBye), kStrangerWaitNs + 2);
  deliver(0, kHostA, a.frames(1, 0), kStrangerWaitNs + 3);  // sent again: never acknowledged
  deliver(0, kHostA, a.frames(1, 1), kStrangerWaitNs + 4);
  EXPECT_EQ(device.stats(0).frames_in, 2u);
  EXPECT_EQ(device.stats(0).repeats, 1u);
}

TEST_F(SimDeviceTest, HostsLeaveOnGoodbyeAndEventsAreLimited) {
  deliver(0, kHostA, a.signal(wire::Kind::kHello));
  deliver(0, kHostA, a.signal(wire::Kind::kBye));
  EXPECT_FALSE(device.host_present(0));
  EXPECT_NE(events.text().find("channel 0: host 127.0.0.1:34568 left (goodbye)"),
            std::string::npos);

  for (uint32_t run = 1; run <= 200; ++run) {  // a new run every 5 ms, each an event or two
    a.session = 1000 + run;
    a.run_start_ms = run;
    deliver(0, kHostA, a.signal(wire::Kind::kHello), run * 5'000'000);
  }
  deliver(0, kHostA, a.signal(wire::Kind::kBye), 1'001'000'000);
  const std::string text = events.text();
  EXPECT_LE(std::count(text.begin(), text.end(), '\n'), 2 + 2 * kEventsPerSecond + 1);
  EXPECT_NE(text.find("more events not shown"), std::string::npos);
}

TEST_F(SimDeviceTest, MalformedInputIsCountedAndChangesNothing) {
  std::vector<uint8_t> bad = a.frames(2);
  bad[wire::kHeaderSize + 8] = 9;
  deliver(0, kHostA, bad);
  deliver(0, kHostA, {});
  device.handle(5, kHostA, bad.data(), bad.size(), 0, outbox);  // no such channel
  EXPECT_EQ(device.stats(0).malformed, 2u);
  EXPECT_FALSE(device.host_present(0));
  EXPECT_TRUE(outbox.sent.empty());
}

// A host remembered twice (it lost its seat twice in one run) resumes where
// the device took its batches last, wherever the two memories lie.
TEST(SimSeat, AHostRememberedTwiceResumesFromItsLatestMemory) {
  Seat seat;
  int64_t now = 0;
  const auto leave = [&](uint16_t port, uint32_t session, uint32_t next_batch) {
    seat.take(endpoint(0x7F000001, port), wire::Header{wire::Kind::kHello, {session, 0, 1, 0}, 0},
              ++now);
    seat.give_up(next_batch, ++now);
  };
  for (uint16_t port = 40000; port < 40003; ++port) {
    leave(port, 1, 0);
  }
  leave(41000, 7, 5);  // the host's first memory, behind three others
  for (uint16_t port = 40003; port < 40007; ++port) {
    leave(port, 1, 0);
  }
  leave(41000, 7, 9);  // its second, in the oldest memory's place, before the first
  seat.take(endpoint(0x7F000001, 41000), wire::Header{wire::Kind::kHello, {7, 0, 2, 0}, 0}, ++now);
  EXPECT_EQ(seat.resume_batch(0), 9u) << "an older memory would take batches 5 to 8 twice";
}

TEST(SimDeviceDrop, EveryDatagramDroppedAtFractionOneNoneAtZero) {
  for (const double fraction : {0.0, 1.0}) {
    RecordingOutbox outbox;
    SimDevice device(2, {fraction, 99}, 99, 0, nullptr);
    Host listener;
    listener.peer = 1;  // a host that knew the device listens at once
    const std::vector<uint8_t> hello = listener.signal(wire::Kind::kHello);
    device.handle(1, kHostB, hello.data(), hello.size(), 0, outbox);
    Host writer;
    for (uint32_t i = 0; i < 10; ++i) {
      const std::vector<uint8_t> bytes = writer.frames(1);
      device.handle(0, kHostA, bytes.data(), bytes.size(), 0, outbox);
      device.flush(outbox);
    }
    EXPECT_EQ(device.stats(1).frames_out, fraction == 0.0 ? 10u : 0u);
    EXPECT_EQ(device.stats(1).dropped, fraction == 0.0 ? 0u : 10u);
  }
}

std::vector<RawCanMessage> frames_sent(const RecordingOutbox& outbox) {
  std::vector<RawCanMessage> frames;
  for (const Sent* sent : outbox.of_kind(wire::Kind::kFrames)) {
    for (std::size_t i = 0; i < sent->datagram.header.count; ++i) {
      RawCanMessage frame{};
      wire::frame_at(sent->datagram, i, frame);
      frames.push_back(frame);
    }
  }
  return frames;
}

// As the program does: a step at every wake from `now` up to `until`.
void run(Simulation& simulation, Outbox& outbox, int64_t& now, int64_t until) {
  for (; now <= until; now = std::max(now + 1, simulation.next_wake_ns(now))) {
    simulation.step(now, outbox);
  }
}

// A host that knew the device, so it listens at once.
void listen(Simulation& simulation, Outbox& outbox, int64_t now) {
  Host listener;
  listener.peer = 1;
  const std::vector<uint8_t> hello = listener.signal(wire::Kind::kHello);
  simulation.handle(1, kHostB, hello.data(), hello.size(), now, outbox);
}

TEST(SimGenerator, StartsWhenTheFirstHostListensKeepsItsRateAndStopsAtItsCount) {
  RecordingOutbox outbox;
  SimulationSettings settings;
  settings.generate = 1000.0;
  settings.count = 5;
  Simulation simulation(std::move(settings));
  int64_t now = 0;
  run(simulation, outbox, now, 1'000'000'000);
  EXPECT_TRUE(outbox.sent.empty()) << "nothing before a host listens";

  const int64_t joined = 2'000'000'000;
  listen(simulation, outbox, joined);
  now = joined;
  run(simulation, outbox, now, joined + 2'500'000);  // 2.5 ms at 1000 frames/s
  EXPECT_EQ(frames_sent(outbox).size(), 2u);
  run(simulation, outbox, now, joined + 100'000'000);
  const std::vector<RawCanMessage> frames = frames_sent(outbox);
  ASSERT_EQ(frames.size(), 5u) << "the count caps generation";
  EXPECT_TRUE(simulation.generator()->finished());
  EXPECT_EQ(simulation.next_wake_ns(now), now + kIdleWakeNs) << "no wake for a finished generator";
  for (uint64_t n = 0; n < frames.size(); ++n) {
    RawCanMessage expected = generated_frame(n);
    EXPECT_EQ(frames[n].id, expected.id);
    EXPECT_EQ(frames[n].length, expected.length);
    EXPECT_EQ(0, std::memcmp(frames[n].data, expected.data, 8));
  }
  EXPECT_EQ(frames[3].id, RAW_CAN_EXTENDED_FLAG | 3u) << "every fourth frame is extended";
}

// A fast generator's frames go out in full datagrams, not a few at each of
// their due times.
TEST(SimGenerator, AFastGeneratorFillsWholeDatagrams) {
  RecordingOutbox outbox;
  SimulationSettings settings;
  settings.generate = 1'000'000.0;
  Simulation simulation(std::move(settings));
  listen(simulation, outbox, 0);
  int64_t now = 0;
  run(simulation, outbox, now, 10'000'000);
  const std::size_t datagrams = outbox.of_kind(wire::Kind::kFrames).size();
  ASSERT_GE(frames_sent(outbox).size(), 9'000u);
  EXPECT_LE(datagrams, frames_sent(outbox).size() / 40);
}

// The device's time is the events', not its wakes': the generator's frames
// and a writer's batches (each handled at its arrival) give the same bus, the
// same stamps and the same counts whether the device wakes every millisecond
// or 97 ms late each time, with nothing dropped on a bus 60 % busy.
TEST(SimTime, ALateWakePlaysTheBusForwardAsItWouldHaveRun) {
  struct Heard {
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> frames;  // id, time words
    std::vector<std::tuple<int, int, uint32_t>> counts;
    uint64_t dropped = 0;
  };
  const auto run_with_wakes_every = [](int64_t wake_ns) {
    RecordingOutbox outbox;
    SimulationSettings settings;
    settings.bus = {500'000, 64};
    settings.generate = 2'000.0;
    Simulation simulation(std::move(settings));
    listen(simulation, outbox, 0);
    Host writer;
    int64_t next_batch_ns = 5'000'000;
    for (int64_t now = 0, end = 1'000'000'000; now <= end;
         now = now == end ? end + 1 : std::min(now + wake_ns, end)) {
      for (; next_batch_ns <= now; next_batch_ns += 20'000'000) {
        const std::vector<uint8_t> batch = writer.frames(50);
        simulation.handle(0, kHostA, batch.data(), batch.size(), next_batch_ns, outbox);
      }
      simulation.step(now, outbox);
    }
    Heard heard;
    for (const RawCanMessage& frame : frames_sent(outbox)) {
      heard.frames.emplace_back(frame.id, frame.time_high, frame.time_low);
    }
    for (const CtrlMessage& count : controls_to(outbox, 0, MESSAGE_COUNT)) {
      if (std::find(heard.counts.begin(), heard.counts.end(), queue_fields(count)) ==
          heard.counts.end()) {
        heard.counts.push_back(queue_fields(count));  // repeats (never acknowledged) left out
      }
    }
    for (int node = 0; node < simulation.device().bus().nodes(); ++node) {
      heard.dropped += simulation.device().bus().stats(node).dropped;
    }
    return heard;
  };
  const Heard on_time = run_with_wakes_every(1'000'000);
  const Heard late = run_with_wakes_every(97'000'000);
  EXPECT_EQ(on_time.dropped, 0u);
  EXPECT_EQ(late.dropped, 0u);
  ASSERT_GE(on_time.frames.size(), 1'900u);
  EXPECT_EQ(late.frames, on_time.frames);
  ASSERT_EQ(on_time.counts.size(), 50u);
  EXPECT_EQ(late.counts, on_time.counts);
  EXPECT_EQ(std::get<0>(late.counts.back()), 50);
}

// A log whose frames share one time, played without end, is an endless burst
// at one moment: datagrams handled meanwhile cost the device at most one
// budget of frames between two steps, and what waits beyond it is counted late.
TEST(SimTime, SourcesOfferAtMostABudgetBetweenSteps) {
  RecordingOutbox outbox;
  SimulationSettings settings;
  settings.bus = {500'000, 64};
  RawCanMessage frame{};
  settings.replay = {{7, frame}, {7, frame}, {7, frame}};
  settings.loops = 0;
  Simulation simulation(std::move(settings));
  listen(simulation, outbox, 0);
  const std::vector<uint8_t> junk(16, 0x5A);
  for (int i = 0; i < 1000; ++i) {
    simulation.handle(0, kHostA, junk.data(), junk.size(), 0, outbox);
  }
  const Bus& bus = simulation.device().bus();
  EXPECT_EQ(bus.stats(bus.nodes() - 1).offered, kSourceBudget);
  simulation.step(1'000'000, outbox);
  simulation.step(2'000'000, outbox);
  EXPECT_EQ(bus.stats(bus.nodes() - 1).offered, 2 * kSourceBudget);
  EXPECT_EQ(simulation.late(), kSourceBudget);
}

// The sockets' datagrams reach the device in the order they arrived, each
// socket's in its own order; a flood on one socket stops a call at its last
// datagram handled, the device runs only to that moment, and the next call
// tops up what the last left before it goes on.
TEST(SimArrivals, AreHandedOnEarliestFirstAndAFloodHoldsTheClockBack) {
  // Per channel, arrival stamps in the order the socket holds them (0: unstamped).
  std::vector<std::vector<int64_t>> sockets = {{10, 40, 41}, {20, 30, 0, 2000}, {}};
  for (int i = 0; i < Arrivals::kMostPerChannel + Arrivals::kBatch; ++i) {
    sockets[2].push_back(100 + i);
  }
  std::vector<std::size_t> read(sockets.size());
  const auto receive = [&](int channel, DatagramSlot* slots, int count) {
    int n = 0;
    for (; n < count && read[channel] < sockets[channel].size(); ++n) {
      slots[n].arrival_ns = sockets[channel][read[channel]++];
    }
    return n;
  };
  std::vector<std::pair<int, int64_t>> handled;
  const auto handle = [&](int channel, const DatagramSlot&, int64_t at) {
    handled.emplace_back(channel, at);
  };
  Arrivals arrivals(3);
  const int64_t heard_until = arrivals.drain(50, receive, handle);
  ASSERT_GE(handled.size(), 6u);
  const std::vector<std::pair<int, int64_t>> first = {{0, 10}, {1, 20}, {1, 30},
                                                      {0, 40}, {0, 41}, {1, 50}};
  EXPECT_EQ(std::vector(handled.begin(), handled.begin() + 6), first) << "unstamped: at the call";
  EXPECT_EQ(handled.size(), 6u + Arrivals::kMostPerChannel);
  EXPECT_EQ(heard_until, 100 + Arrivals::kMostPerChannel - 1);
  EXPECT_TRUE(arrivals.pending());

  sockets[1].push_back(2100);  // came after channel 1's last read, before 3000 on channel 0
  sockets[0].push_back(3000);
  handled.clear();
  EXPECT_EQ(arrivals.drain(5000, receive, handle), 5000);
  ASSERT_EQ(handled.size(), Arrivals::kBatch + 3u);
  EXPECT_EQ(handled.front().second, 100 + Arrivals::kMostPerChannel);
  const std::vector<std::pair<int, int64_t>> last = {{1, 2000}, {1, 2100}, {0, 3000}};
  EXPECT_EQ(std::vector(handled.end() - 3, handled.end()), last);
  EXPECT_FALSE(arrivals.pending());
}

// On a timed bus a writer's batch goes into its transmit queue: the count
// reports what fitted, the rest is dropped, and the frames reach the other
// host spaced by their lengths.
TEST(SimBus, TheCountIsWhatTheQueueTookAndFramesKeepTheBusTiming) {
  RecordingOutbox outbox;
  SimDevice device(2, {}, 1, 0, nullptr, {125'000, 10});
  Host listener;
  const std::vector<uint8_t> init = listener.init();
  device.handle(1, kHostB, init.data(), init.size(), 0, outbox);
  Host writer;
  const std::vector<uint8_t> batch = writer.frames(50);
  device.handle(0, kHostA, batch.data(), batch.size(), 0, outbox);
  const auto counts = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(counts.size(), 1u);
  CtrlMessage count{};
  wire::control_record(counts[0]->datagram, count);
  EXPECT_EQ(count.data[0] | count.data[1] << 8, 10);
  EXPECT_EQ(device.bus().stats(0).dropped, 40u);

  device.tick(1'000'000'000, outbox);
  device.flush(outbox);
  const std::vector<RawCanMessage> heard = frames_sent(outbox);
  ASSERT_EQ(heard.size(), 10u);
  int64_t bits_before = 0;
  for (std::size_t i = 0; i < heard.size(); ++i) {
    const int bits = frame_bits(heard[i]);
    const uint64_t expected_us = static_cast<uint64_t>(bits_before + bits - 3) * 8;
    EXPECT_EQ((uint64_t{heard[i].time_high} << 32 | heard[i].time_low) / 32, expected_us) << i;
    bits_before += bits;
  }
}

// MESSAGE_COUNT says the room left; ROOM records go only to a host that
// asked: one at once, then one once a low queue has drained to the threshold.
TEST(SimBus, RoomIsReportedOnRequestAndOnceALowQueueHasDrained) {
  RecordingOutbox outbox;
  SimDevice device(1, {}, 1, 0, nullptr, {125'000, 10});  // threshold 5
  Host writer;
  const auto send = [&](const std::vector<uint8_t>& bytes, int64_t now) {
    device.handle(0, kHostA, bytes.data(), bytes.size(), now, outbox);
  };
  const auto rooms = [&] { return controls_to(outbox, 0, wire::kRoomRecordType); };
  send(writer.frames(50), 0);
  device.advance(1'000'000'000, outbox);
  EXPECT_TRUE(rooms().empty()) << "never asked";
  send(writer.control(ZELBOR_ROOM_RECORD), 1'000'000'000);
  ASSERT_EQ(rooms().size(), 1u) << "sent at once";
  EXPECT_EQ(queue_fields(rooms()[0]), std::make_tuple(10, 10, 0u));  // room, capacity, last taken

  send(writer.frames(50), 1'000'000'000);
  EXPECT_EQ(queue_fields(controls_to(outbox, 0, MESSAGE_COUNT).back()), std::make_tuple(10, 1, 1u))
      << "taken, the room with one frame on the bus, the datagram answered";
  for (int64_t now = 1'000'000'000; rooms().size() < 2 && now < 2'000'000'000; now += 100'000) {
    device.advance(now, outbox);
  }
  ASSERT_EQ(rooms().size(), 2u);
  EXPECT_EQ(queue_fields(rooms()[1]), std::make_tuple(5, 10, 1u)) << "at the threshold";
  send(writer.frames(1), 3'000'000'000);
  device.advance(4'000'000'000, outbox);
  EXPECT_EQ(rooms().size(), 2u) << "one per low report, none after a report of enough room";
}

}  // namespace
}  // namespace zelbor::sim
