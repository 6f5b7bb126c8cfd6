#include "link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <vector>

#include "link_core.h"
#include "loopback.h"
#include "wire.h"

namespace zelbor {
namespace {

using rawcan::testing::endpoint;
using rawcan::testing::UdpEndpoint;
using rawcan::testing::unique_loopback_address;
using Bytes = std::vector<uint8_t>;

constexpr uint16_t kHostPort = 34568;
constexpr uint16_t kDevicePort = 34567;
constexpr uint32_t kHostSession = 0x600D5E55;
constexpr uint32_t kDeviceSession = 9;
constexpr int64_t kStartNs = 7'000 * kNsPerMs;  // the virtual time the link starts at
const sockaddr_in kDevice = ipv4_endpoint(0x7F000002, kDevicePort);

constexpr auto ms = [](int64_t milliseconds) { return milliseconds * kNsPerMs; };

// Datagrams from the device: `peer` is the host's session, as the device learnt it.
Bytes frames(uint32_t sequence, uint32_t first_id, std::size_t count,
             uint32_t session = kDeviceSession, uint32_t peer = kHostSession) {
  std::vector<RawCanMessage> frames(count);
  for (std::size_t i = 0; i < count; ++i) {
    frames[i].id = first_id + static_cast<uint32_t>(i);
  }
  Bytes bytes(wire::kMaxDatagram);
  bytes.resize(wire::encode_frames({session, peer, sequence, 0}, frames.data(), count, bytes.data(),
                                   bytes.size()));
  return bytes;
}
// The record's first data byte is its number, so a test sees which one it got.
Bytes control(uint32_t sequence, uint32_t peer = kHostSession) {
  const CtrlMessage record{MESSAGE_COUNT, 1, {static_cast<uint8_t>(sequence)}};
  Bytes bytes(wire::kMaxControlDatagram);
  bytes.resize(wire::encode_control(wire::Kind::kControl, {kDeviceSession, peer, sequence, 0},
                                    record, bytes.data(), bytes.size()));
  return bytes;
}
Bytes ack(uint16_t type, uint32_t number, uint32_t next_taken = 0,
          uint32_t session = kDeviceSession, uint32_t peer = kHostSession) {
  Bytes bytes(64);
  bytes.resize(
      wire::encode_ack({session, peer, 0, next_taken}, type, number, bytes.data(), bytes.size()));
  return bytes;
}
Bytes signal(wire::Kind kind, uint32_t session) {
  Bytes bytes(wire::kHeaderSize);
  wire::encode_signal(kind, {session, kHostSession, 0, 0}, bytes.data(), bytes.size());
  return bytes;
}

wire::Datagram decoded(const Bytes& bytes) {
  wire::Datagram datagram{};
  EXPECT_EQ(wire::decode(bytes.data(), bytes.size(), datagram), wire::DecodeError::kNone);
  return datagram;
}

std::vector<uint32_t> id_range(uint32_t first, std::size_t count) {
  std::vector<uint32_t> ids(count);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

// Keeps what the core sends, and at what virtual time.
struct Recorder {
  struct Sent {
    int64_t at;
    Bytes bytes;
    wire::Header header() const { return decoded(bytes).header; }
  };
  explicit Recorder(const int64_t& clock) : now(clock) {}
  SendResult operator()(const uint8_t* bytes, std::size_t size) {
    sent.push_back({now, Bytes(bytes, bytes + size)});
    return {true, 0};
  }
  const int64_t& now;
  std::vector<Sent> sent;
};

// The library's calls on a virtual clock and a virtual socket: the shell
// runs on this test's LinkSystem, where a wait moves the clock to the next
// arrival or to the wait's end.
class LinkCoreTest : public ::testing::Test {
 protected:
  int64_t now = kStartNs;
  Recorder out{now};
  std::unique_ptr<InterfaceState> state = std::make_unique<InterfaceState>();
  std::multimap<int64_t, std::pair<sockaddr_in, Bytes>> socket;  // by arrival time

  void SetUp() override {
    running = this;
    use_link_system(&kSystem);
    start();
  }
  void TearDown() override {
    EXPECT_TRUE(inspect().consistent);
    use_link_system(nullptr);
    running = nullptr;
  }
  void start() {
    ASSERT_EQ(link_start(state.get(), 0x7F000002, 0x7F000001, kHostPort, kDevicePort, 0), 0);
    ASSERT_EQ(out.sent.back().header().kind, wire::Kind::kHello);
    out.sent.clear();
  }
  LinkInspection inspect() const {
    LinkInspection inspection{};
    EXPECT_TRUE(link_inspect(state.get(), inspection));
    return inspection;
  }

  // A datagram reaches the host's socket `after_ns` from now.
  void arrive(const Bytes& bytes, int64_t after_ns = 0, const sockaddr_in& from = kDevice) {
    socket.insert({now + after_ns, {from, bytes}});
  }
  bool datagram_waiting() const { return !socket.empty() && socket.begin()->first <= now; }

  int32_t ctrl_write() {
    const CtrlMessage init{INIT_CAN_CHIP, 10, {}};
    return link_ctrl_write(state.get(), &init);
  }
  void stop() { link_stop(state.get()); }
  bool ctrl_read(CtrlMessage& record) { return link_ctrl_read(state.get(), &record) == 0; }
  int32_t raw_write(const RawCanMessage* written, int32_t count) {
    return link_raw_can_write(state.get(), written, count);
  }
  // Reads as a program does until nothing is waiting (from `at`, if later).
  std::vector<uint32_t> read_ids(int64_t at = 0) {
    now = std::max(now, at);
    std::vector<uint32_t> ids;
    for (RawCanMessage frame{}; link_raw_can_read(state.get(), &frame) == 0;) {
      ids.push_back(frame.id);
    }
    return ids;
  }
  // The numbers of the device's records read.
  std::vector<int> read_records() {
    std::vector<int> numbers;
    for (CtrlMessage record{}; ctrl_read(record);) {
      numbers.push_back(record.type == MESSAGE_COUNT ? record.data[0] : -1);
    }
    return numbers;
  }
  const ZelborCounters& counters() {
    EXPECT_EQ(link_counters(state.get(), &counted), 0);
    return counted;
  }

 private:
  static inline LinkCoreTest* running = nullptr;
  ZelborCounters counted{};

  static int64_t send_to(SocketHandle, const uint8_t* bytes, std::size_t size, const sockaddr_in&) {
    return running->out(bytes, size).sent ? static_cast<int64_t>(size) : -1;
  }
  static int receive_many(SocketHandle, DatagramSlot* slots, int count) {
    LinkCoreTest& test = *running;
    int received = 0;
    for (; received < count && test.datagram_waiting(); ++received) {
      const auto& [from, bytes] = test.socket.begin()->second;
      DatagramSlot& slot = slots[received];
      slot.cut = bytes.size() > slot.capacity;
      slot.size = std::min(bytes.size(), slot.capacity);
      std::copy_n(bytes.begin(), slot.size, slot.bytes);
      slot.source = from;
      slot.arrival_ns = 0;
      test.socket.erase(test.socket.begin());
    }
    errno = received == 0 ? EAGAIN : 0;
    return received == 0 ? -1 : received;
  }
  static int wait(SocketHandle, bool for_writing, int timeout_ms) {
    LinkCoreTest& test = *running;
    if (for_writing || test.datagram_waiting()) {
      return 1;
    }
    const int64_t until = test.now + ms(timeout_ms);
    const bool arrives = !test.socket.empty() && test.socket.begin()->first <= until;
    test.now = arrives ? test.socket.begin()->first : until;
    return arrives ? 1 : 0;
  }
  static constexpr SocketOps kOps = {send_to, receive_many, wait};
  static constexpr LinkSystem kSystem = {&kOps, [] { return running->now; },
                                         [](uint32_t, uint16_t, int) { return SocketHandle{3}; },
                                         [](SocketHandle) {}, [] { return kHostSession; }};
};

// Frames after a gap count it lost; late or repeated ones are stale, dropped.
TEST_F(LinkCoreTest, FramesArriveInOrderOnceAndGapsAreCountedExactly) {
  arrive(frames(0, 0, 50));
  for (const uint32_t sequence : {50u, 51u, 55u, 53u, 55u, 56u, 60u}) {
    arrive(frames(sequence, sequence, 1));
  }
  std::vector<uint32_t> expected = id_range(0, 52);
  expected.insert(expected.end(), {55, 56, 60});
  EXPECT_EQ(read_ids(), expected);
  EXPECT_EQ(counters().frames_in, 55u);
  EXPECT_EQ(counters().frames_delivered, 55u);
  EXPECT_EQ(counters().datagrams_in, 8u);
  EXPECT_EQ(counters().frames_lost, 3u + 3u);  // 52-54 and 57-59
  EXPECT_EQ(counters().stale, 2u);             // the late 53 and the repeated 55
}

// Only the device's endpoint, speaking to this run, is heard; nothing else is
// delivered or answered, and the first read goes past a flood of it.
TEST_F(LinkCoreTest, DatagramsFromAnyOtherSenderOrForAnEarlierRunAreForeign) {
  const sockaddr_in other_port = ipv4_endpoint(0x7F000002, kDevicePort + 100);
  arrive(frames(0, 600, 3), 0, ipv4_endpoint(0x7F000003, kDevicePort));
  arrive(control(0), 0, other_port);
  arrive(control(0, kHostSession + 1));
  arrive(frames(0, 700, 1, kDeviceSession, kHostSession + 1));
  for (int i = 0; i < 3000; ++i) {
    arrive(frames(0, 500, 1), 0, other_port);
  }
  arrive(frames(0, 100, 2));
  EXPECT_EQ(read_ids(), id_range(100, 2));
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(counters().foreign, 3004u);
  EXPECT_TRUE(out.sent.empty());
}

TEST_F(LinkCoreTest, MalformedDatagramsFromTheDeviceAreDroppedAndTheLinkGoesOn) {
  std::vector<Bytes> malformed(11, frames(0, 100, 3));
  malformed[0].resize(20);  // truncated
  malformed[1] = frames(0, 100, 50);
  malformed[1].resize(2000);                // oversize: cut by the receive buffer to a valid start
  malformed[2][0] = 'Q';                    // wrong magic
  malformed[3][2] = 9;                      // wrong version
  malformed[4][20] = 7;                     // count disagrees with length
  malformed[5][wire::kHeaderSize + 8] = 9;  // frame length byte above 8
  malformed[6][3] = 99;                     // unknown kind
  malformed[7][22] = 1;                     // reserved bits set
  malformed[8] = signal(wire::Kind::kHello, kDeviceSession);  // kinds only the host sends
  malformed[9] = signal(wire::Kind::kBye, kDeviceSession);
  malformed[10].clear();  // empty
  for (uint32_t sequence = 0; sequence < malformed.size(); ++sequence) {
    arrive(malformed[sequence]);
    arrive(frames(sequence, sequence, 1));
  }
  EXPECT_EQ(read_ids(), id_range(0, malformed.size()));
  EXPECT_EQ(counters().malformed, malformed.size());
  EXPECT_EQ(counters().frames_lost + counters().device_restarts, 0u);
}

// With every buffer full of unread frames the oldest go, counted; the newest
// stay. A program that reads frames loses none: the record comes once it has
// read them.
TEST_F(LinkCoreTest, UnreadFramesNeverHoldBackAControlRecord) {
  for (uint32_t sequence = 0; sequence < FrameQueue::kSlots * 50; sequence += 50) {
    arrive(frames(sequence, sequence, 50));
  }
  CtrlMessage record{};
  const int64_t asked = now;
  ASSERT_FALSE(ctrl_read(record));
  EXPECT_EQ(now, asked + ms(kControlWaitMs)) << "an empty read waits: a program polling again "
                                                "at once does not spin";
  EXPECT_EQ(counters().frames_overflowed, 0u) << "nothing dropped for room nothing needed";
  socket.clear();
  start();
  constexpr uint32_t kFrames = 200 * 50;
  for (uint32_t sequence = 0; sequence < kFrames; sequence += 50) {
    arrive(frames(sequence, sequence, 50));
  }
  arrive(control(0));
  ASSERT_TRUE(ctrl_read(record) || ctrl_read(record));
  EXPECT_EQ(record.type, MESSAGE_COUNT);
  const auto dropped = static_cast<uint32_t>(counters().frames_overflowed);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(read_ids(), id_range(dropped, kFrames - dropped));

  for (uint32_t sequence = kFrames; sequence < 2 * kFrames; sequence += 50) {
    arrive(frames(sequence, sequence, 50));
  }
  arrive(control(1));
  EXPECT_FALSE(ctrl_read(record));
  EXPECT_EQ(read_ids(), id_range(kFrames, kFrames));
  EXPECT_EQ(counters().frames_overflowed, dropped);
  ASSERT_TRUE(ctrl_read(record));
  EXPECT_EQ(record.data[0], 1);
}

// Every copy is acknowledged, each number delivered once; a late one fills its gap.
TEST_F(LinkCoreTest, DeviceControlRecordsAreAcknowledgedEveryCopyAndDeliveredOnce) {
  const uint32_t numbers[] = {0, 0, 2, 1, 2};
  for (const uint32_t number : numbers) {
    arrive(control(number));
  }
  EXPECT_EQ(read_records(), (std::vector<int>{0, 2, 1}));
  ASSERT_EQ(out.sent.size(), 5u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(out.sent[i].bytes, ack(MESSAGE_COUNT, numbers[i], 0, kHostSession, kDeviceSession));
  }
  EXPECT_EQ(counters().controls_lost, 0u);
  EXPECT_EQ(counters().stale, 2u);
}

// Repeats whose acks were lost, arriving long after with nothing new between,
// never move the stream back nor come again; what never came counts lost.
TEST_F(LinkCoreTest, LateRepeatsOfDeliveredControlRecordsAreNeverDeliveredAgain) {
  arrive(control(0));
  arrive(control(100));
  for (const uint32_t first : {50u, 1u}) {
    for (uint32_t number = first; number < first + 10; ++number) {
      arrive(control(number));  // late, into the gap
    }
  }
  ASSERT_EQ(read_records().size(), 22u);
  now += kRivalPatienceNs + ms(100);
  for (const uint32_t number : {10u, 9u, 10u, 100u}) {
    arrive(control(number));
  }
  EXPECT_TRUE(read_records().empty());
  EXPECT_EQ(std::count_if(
                out.sent.begin(), out.sent.end(),
                [](const Recorder::Sent& sent) { return sent.header().kind == wire::Kind::kAck; }),
            26)
      << "an ack for every copy";
  arrive(control(101));
  EXPECT_EQ(read_records(), std::vector<int>{101});
  EXPECT_EQ(counters().controls_lost, 79u) << "11 to 49 and 60 to 99";
}

// A restarted device numbers afresh, from 0; a datagram delayed across two
// restarts never takes the host back to its session.
TEST_F(LinkCoreTest, ADeviceRestartStartsItsSequenceAfreshAndALateDatagramOfAnEarlierOneIsStale) {
  arrive(frames(0, 1, 1, 100));
  arrive(frames(0, 2, 1, 200));
  arrive(frames(1, 3, 1, 300));  // 0 was lost before the first arrival
  arrive(frames(1, 99, 1, 100));
  arrive(frames(2, 4, 1, 300));
  EXPECT_EQ(read_ids(), id_range(1, 4));
  EXPECT_EQ(counters().device_restarts, 2u);
  EXPECT_EQ(counters().stale, 1u);
  EXPECT_EQ(counters().frames_lost, 1u);
}

// Only an ack naming the record's type and number ends a write (the answer
// to HELLO carries a number too); that ack is the next record read.
TEST_F(LinkCoreTest, ControlWriteReturnsOnceAcknowledgedAndTheAckStaysQueued) {
  arrive(frames(0, 1, 1));
  read_ids();
  arrive(ack(wire::kAliveAckedType, 0), ms(1));  // the device's answers to record 0
  arrive(ack(INIT_CAN_CHIP, 1), ms(2));
  arrive(ack(INIT_CAN_CHIP, 0), ms(3));
  EXPECT_EQ(ctrl_write(), 0);
  EXPECT_EQ(now, kStartNs + ms(3));
  ASSERT_EQ(out.sent.size(), 1u) << "a device already heard is not greeted first";
  CtrlMessage received{};
  uint16_t acked_type = 0;
  uint32_t acked_number = 1;
  ASSERT_TRUE(ctrl_read(received));
  ASSERT_TRUE(wire::parse_ack(received, acked_type, acked_number));
  EXPECT_EQ(acked_type, INIT_CAN_CHIP);
  EXPECT_EQ(acked_number, 0u);
  EXPECT_FALSE(ctrl_read(received));
}

// Each try goes after HELLO while the device is unheard, all with one
// number, kAckWaitMs apart; REFUSED ends a write at once.
TEST_F(LinkCoreTest, ControlWriteGivesUpAfterEveryTryOrAtOnceWhenRefused) {
  EXPECT_EQ(ctrl_write(), ZELBOR_ERR_NO_ANSWER);
  EXPECT_EQ(now, kStartNs + ms(kAckAttempts * kAckWaitMs));
  ASSERT_EQ(out.sent.size(), 2u * kAckAttempts);
  for (int i = 0; i < kAckAttempts; ++i) {
    EXPECT_EQ(out.sent[2 * i].header().kind, wire::Kind::kHello);
    EXPECT_EQ(out.sent[2 * i + 1].bytes, out.sent[1].bytes);
    EXPECT_EQ(out.sent[2 * i + 1].at, kStartNs + ms(i * kAckWaitMs));
  }
  out.sent.clear();
  arrive(signal(wire::Kind::kRefused, 0), ms(1));
  EXPECT_EQ(ctrl_write(), ZELBOR_ERR_REFUSED);
  EXPECT_EQ(now, kStartNs + ms(kAckAttempts * kAckWaitMs + 1));
  EXPECT_EQ(out.sent.size(), 2u) << "HELLO and one try";
}

// Stopping, the link takes the device's answer to BYE: frames that arrive
// meanwhile count but are not kept, and those the device numbered but never
// sent (dropped while this host was away) are counted lost. No answer is
// awaited longer than kGoodbyeWaitMs, nor at all from a device never heard.
TEST_F(LinkCoreTest, TheAnswerToGoodbyeCountsFramesThatNeverArrivedAndIsAwaitedOnlyThatLong) {
  arrive(frames(0, 100, 50));
  ASSERT_EQ(read_ids().size(), 50u);
  arrive(frames(50, 150, 10), ms(1));                // after BYE, what the device still held,
  arrive(ack(wire::kGoodbyeAckedType, 180), ms(2));  // and its answer
  stop();
  EXPECT_EQ(out.sent.back().header().kind, wire::Kind::kBye);
  EXPECT_EQ(inspect().phase, Phase::kLeft);
  EXPECT_EQ(now, kStartNs + ms(2));
  EXPECT_EQ(counters().frames_in, 60u);
  EXPECT_EQ(counters().frames_lost, 120u);
  EXPECT_EQ(counters().frames_overflowed, 0u);
  EXPECT_TRUE(read_ids().empty());

  start();
  stop();
  EXPECT_EQ(inspect().phase, Phase::kNeverHeard);
  EXPECT_EQ(now, kStartNs + ms(2));
  start();
  arrive(frames(0, 1, 1));
  read_ids();
  stop();
  EXPECT_EQ(inspect().phase, Phase::kGaveUp);
  EXPECT_EQ(now, kStartNs + ms(2 + kGoodbyeWaitMs));
}

// Held frames all go again, in order, kResendIntervalMs after the oldest last
// went, until taken; a write that cannot be held whole is refused.
TEST_F(LinkCoreTest, WrittenFramesAreSentAgainUntilTakenAndABacklogIsRefused) {
  std::vector<RawCanMessage> written(51);
  ASSERT_EQ(raw_write(written.data(), 1), 0);
  read_ids(kStartNs + ms(kResendIntervalMs) - 1);
  EXPECT_EQ(out.sent.size(), 1u);
  read_ids(kStartNs + ms(kResendIntervalMs));
  ASSERT_EQ(out.sent.size(), 2u);
  EXPECT_EQ(out.sent[1].bytes, out.sent[0].bytes);
  for (int i = 1; i < kHeldBatches - 1; ++i) {
    ASSERT_EQ(raw_write(written.data(), 1), 0);
  }
  EXPECT_EQ(raw_write(written.data(), 51), ZELBOR_ERR_BACKLOG) << "needs two, one is left";
  EXPECT_EQ(raw_write(written.data(), 50), 0);
  EXPECT_EQ(raw_write(written.data(), 1), ZELBOR_ERR_BACKLOG);
  out.sent.clear();
  read_ids(now + ms(kResendIntervalMs));
  ASSERT_EQ(out.sent.size(), static_cast<std::size_t>(kHeldBatches));
  for (uint32_t i = 0; i < out.sent.size(); ++i) {
    EXPECT_EQ(out.sent[i].header().envelope.sequence, i);
  }
  EXPECT_EQ(counters().batches_resent, 1u + kHeldBatches);
  // However busy with resends, the link says HELLO, with its run's start,
  // every kKeepaliveIntervalMs: a device that seated an earlier run's late
  // datagram gives the seat back to this one.
  out.sent.clear();
  for (const int64_t until = now + 2 * ms(kKeepaliveIntervalMs); now < until;) {
    read_ids(now + ms(kResendIntervalMs));
  }
  EXPECT_EQ(std::count_if(out.sent.begin(), out.sent.end(),
                          [](const Recorder::Sent& sent) {
                            return sent.header().kind == wire::Kind::kHello;
                          }),
            2);
  arrive(ack(wire::kFramesAckedType, 31, kHeldBatches));
  EXPECT_EQ(raw_write(written.data(), 1), 0) << "the ack waiting is taken first";
}

// How long to wait, rounded up: until held frames go again or HELLO is due
// (kKeepaliveIntervalMs after the last send); an ack waiting is taken first;
// at once while anything waits to be read.
TEST_F(LinkCoreTest, TheLinkStatusSaysWhenSomethingIsDueAndFramesTakenMeanwhileAreNotSentAgain) {
  auto status = [this] {
    ZelborLinkStatus result{};
    EXPECT_EQ(link_status(state.get(), &result), 0);
    return result;
  };
  EXPECT_EQ(status().wake_within_ms, kKeepaliveIntervalMs);
  EXPECT_EQ(status().device_silent_ms, -1);
  RawCanMessage written[3]{};
  ASSERT_EQ(raw_write(written, 3), 0);
  now += kNsPerMs / 2;
  EXPECT_EQ(status().wake_within_ms, kResendIntervalMs);
  EXPECT_EQ(status().frames_held, 3u);
  arrive(ack(wire::kFramesAckedType, 0, 1), ms(20));
  read_ids(kStartNs + ms(kResendIntervalMs));
  EXPECT_EQ(out.sent.size(), 1u);
  EXPECT_EQ(status().batches_held + status().frames_held, 0u);
  now += ms(7);
  EXPECT_EQ(status().device_silent_ms, 7) << "since the host took the ack";
  EXPECT_EQ(status().wake_within_ms, kKeepaliveIntervalMs - kResendIntervalMs - 7);
  read_ids(kStartNs + ms(kKeepaliveIntervalMs) - 1);
  EXPECT_EQ(out.sent.size(), 1u);
  read_ids(kStartNs + ms(kKeepaliveIntervalMs));
  ASSERT_EQ(out.sent.size(), 2u);
  EXPECT_EQ(out.sent[1].header().kind, wire::Kind::kHello);
  // A frame and a record that a control read took off the socket: the socket
  // no longer tells, the status does, until both are read.
  arrive(frames(0, 1, 1));
  arrive(control(0));
  CtrlMessage record{};
  ASSERT_TRUE(ctrl_read(record));
  EXPECT_EQ(status().wake_within_ms, 0) << "a frame waits";
  EXPECT_EQ(read_ids(), std::vector<uint32_t>{1});
  EXPECT_NE(status().wake_within_ms, 0);
  arrive(control(1));
  read_ids();
  EXPECT_EQ(status().wake_within_ms, 0) << "a record waits";
  ASSERT_TRUE(ctrl_read(record));
}

TEST_F(LinkCoreTest, WritesTravelInDatagramsOfAtMostFiftyFramesAndBadOnesSendNothing) {
  std::vector<RawCanMessage> written(kHeldBatches * 50 + 1);
  for (const int8_t length : {9, -1}) {
    written[1].length = length;
    EXPECT_EQ(raw_write(written.data(), 2), ZELBOR_ERR_ARGUMENT);
  }
  EXPECT_EQ(raw_write(written.data(), -1), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(raw_write(nullptr, 1), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(raw_write(written.data(), kHeldBatches * 50 + 1), ZELBOR_ERR_ARGUMENT);
  EXPECT_TRUE(out.sent.empty());
  for (std::size_t i = 0; i < written.size(); ++i) {
    written[i] = {{}, 8, 0, {}, static_cast<uint32_t>(i), 0, 0, 0};
  }
  EXPECT_EQ(raw_write(written.data(), 120), 0);
  ASSERT_EQ(out.sent.size(), 3u);
  for (uint32_t number = 0; number < 3; ++number) {
    Bytes expected(wire::kMaxDatagram);
    expected.resize(wire::encode_frames({kHostSession, 0, number, 0}, &written[50 * number],
                                        number < 2 ? 50 : 20, expected.data(), expected.size()));
    EXPECT_EQ(out.sent[number].bytes, expected) << "datagram " << number;
  }
}

// The shell over real sockets: two links in one process, each with its own
// device; the descriptor says when to read; bad arguments send nothing.
TEST(LinkShell, StartedLinksExchangeDatagramsOverLoopback) {
  const uint32_t address = unique_loopback_address();
  UdpEndpoint devices[2] = {{address, kDevicePort}, {address, kDevicePort + 2}};
  std::unique_ptr<InterfaceState> states[2] = {std::make_unique<InterfaceState>(),
                                               std::make_unique<InterfaceState>()};
  for (int c = 0; c < 2; ++c) {
    const int32_t port = kHostPort + 2 * c;
    ASSERT_TRUE(devices[c].bound());
    ASSERT_EQ(link_start(states[c].get(), address, address, port, kDevicePort + 2 * c, c), 0);
    const wire::Header hello = decoded(devices[c].receive(2000)).header;
    ASSERT_EQ(hello.kind, wire::Kind::kHello);
    const sockaddr_in host = endpoint(address, static_cast<uint16_t>(port));
    ASSERT_TRUE(devices[c].send_to(host, frames(0, 10 + c, 1, 1, hello.envelope.session)));
    ZelborLinkStatus status{};
    ASSERT_EQ(link_status(states[c].get(), &status), 0);
    EXPECT_EQ(system_socket_ops().wait(static_cast<SocketHandle>(status.descriptor), false, 2000),
              1);
    RawCanMessage frame{};
    ASSERT_EQ(link_raw_can_read(states[c].get(), &frame), 0);
    EXPECT_EQ(frame.id, 10u + c);
    // The answer to the BYE to come, waiting already, so the stop returns at once.
    ASSERT_TRUE(
        devices[c].send_to(host, ack(wire::kGoodbyeAckedType, 1, 0, 1, hello.envelope.session)));
  }
  InterfaceState* state = states[0].get();
  ZelborCounters before{}, after{};
  link_counters(state, &before);
  const CtrlMessage too_long{INIT_CAN_CHIP, CTRL_MESSAGE_DATA_CAPACITY + 1, {}};
  EXPECT_EQ(link_ctrl_write(state, &too_long), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_ctrl_write(state, nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_ctrl_read(state, nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_raw_can_read(state, nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_raw_can_write(state, nullptr, 1), ZELBOR_ERR_ARGUMENT);
  link_counters(state, &after);
  EXPECT_EQ(after.datagrams_out + after.send_failures, before.datagrams_out + before.send_failures);
  EXPECT_EQ(link_stop(states[0].get()), 0);
  EXPECT_EQ(link_stop(states[1].get()), 0);
}

TEST(LinkStart, SocketProblemsAreReportedAsSocketErrors) {
  const uint32_t address = unique_loopback_address();
  auto first = std::make_unique<InterfaceState>();
  auto second = std::make_unique<InterfaceState>();
  ASSERT_EQ(link_start(first.get(), address, address, kHostPort, kDevicePort, 0), 0);
  EXPECT_EQ(link_start(second.get(), address, address, kHostPort, kDevicePort, 0), ERR_SOCKET)
      << "the same channel twice on one host";
  EXPECT_EQ(link_start(second.get(), address, 0xC0000201, kHostPort, kDevicePort, 0), ERR_SOCKET)
      << "192.0.2.1 is no address of this machine";
  for (const int32_t port : {0, -1, 65536, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(link_start(second.get(), address, address, port, kDevicePort, 0), ERR_SOCKET);
    EXPECT_EQ(link_start(second.get(), address, address, kHostPort + 2, port, 0), ERR_SOCKET);
  }
  EXPECT_EQ(link_stop(first.get()), 0);
  EXPECT_EQ(link_start(second.get(), address, address, kHostPort, kDevicePort, 0), 0)
      << "the port is free again after a stop";
  link_stop(second.get());
}

TEST(LinkStart, CallsOnAZeroedOrNullStateFailCleanly) {
  auto state = std::make_unique<InterfaceState>();
  RawCanMessage frame{};
  CtrlMessage record{};
  EXPECT_EQ(link_stop(state.get()), 0);
  EXPECT_EQ(link_stop(nullptr), 0);
  EXPECT_EQ(link_raw_can_read(state.get(), &frame), ERR_NO_DATA);
  EXPECT_EQ(link_ctrl_read(state.get(), &record), ERR_NO_DATA);
  EXPECT_EQ(link_ctrl_write(state.get(), &record), ZELBOR_ERR_NOT_STARTED);
  EXPECT_EQ(link_raw_can_write(state.get(), &frame, 1), ZELBOR_ERR_NOT_STARTED);
  EXPECT_EQ(link_start(nullptr, 0x7F000001, 0x7F000001, kHostPort, kDevicePort, 0),
            ZELBOR_ERR_ARGUMENT);
  ZelborCounters counters{};
  EXPECT_EQ(link_counters(state.get(), &counters), ZELBOR_ERR_NOT_STARTED);
  EXPECT_EQ(link_counters(nullptr, &counters), ZELBOR_ERR_ARGUMENT);
  ZelborLinkStatus status{};
  EXPECT_EQ(link_status(state.get(), &status), ZELBOR_ERR_NOT_STARTED);
  EXPECT_EQ(status.descriptor, -1);
  EXPECT_EQ(link_status(state.get(), nullptr), ZELBOR_ERR_ARGUMENT);
}

}  // namespace
}  // namespace zelbor
