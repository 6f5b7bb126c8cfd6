#include "link.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
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

// Datagrams from the device: `peer` is the host's session, as the device learnt it.
Bytes frames_datagram(uint32_t session, uint32_t peer, uint32_t sequence, uint32_t first_id,
                      std::size_t count) {
  std::vector<RawCanMessage> frames(count);
  for (std::size_t i = 0; i < count; ++i) {
    frames[i].id = first_id + static_cast<uint32_t>(i);
    frames[i].length = 1;
  }
  Bytes bytes(wire::kMaxDatagram);
  bytes.resize(wire::encode_frames({session, peer, sequence, 0}, frames.data(), count, bytes.data(),
                                   bytes.size()));
  return bytes;
}

Bytes control_datagram(uint32_t session, uint32_t peer, uint32_t sequence, uint16_t type) {
  CtrlMessage record{};
  record.type = type;
  record.length = 2;
  record.data[0] = 37;
  Bytes bytes(wire::kHeaderSize + sizeof(CtrlMessage));
  bytes.resize(wire::encode_control(wire::Kind::kControl, {session, peer, sequence, 0}, record,
                                    bytes.data(), bytes.size()));
  return bytes;
}

class LinkTest : public ::testing::Test {
 protected:
  const uint32_t address = unique_loopback_address();
  std::unique_ptr<InterfaceState> state = std::make_unique<InterfaceState>();
  UdpEndpoint device{address, kDevicePort};
  const sockaddr_in host = endpoint(address, kHostPort);

  uint32_t host_session = 0;

  void SetUp() override {
    ASSERT_TRUE(device.bound());
    ASSERT_EQ(link_start(state.get(), address, address, kHostPort, kDevicePort, 0), 0);
    const Bytes hello = device.receive(1000);
    ASSERT_EQ(kind_of(hello), wire::Kind::kHello);
    host_session = decoded(hello).header.envelope.session;
  }
  void TearDown() override { link_stop(state.get()); }

  static wire::Datagram decoded(const Bytes& bytes) {
    wire::Datagram datagram{};
    EXPECT_EQ(wire::decode(bytes.data(), bytes.size(), datagram), wire::DecodeError::kNone);
    return datagram;
  }
  Bytes frames(uint32_t session, uint32_t sequence, uint32_t first_id, std::size_t count) const {
    return frames_datagram(session, host_session, sequence, first_id, count);
  }
  Bytes control(uint32_t session, uint32_t sequence, uint16_t type) const {
    return control_datagram(session, host_session, sequence, type);
  }
  static wire::Kind kind_of(const Bytes& bytes) {
    wire::Datagram datagram{};
    if (wire::decode(bytes.data(), bytes.size(), datagram) != wire::DecodeError::kNone) {
      return static_cast<wire::Kind>(0);
    }
    return datagram.header.kind;
  }

  // Reads frames until `expected` arrived or a second passed without them.
  std::vector<uint32_t> read_ids(std::size_t expected) {
    std::vector<uint32_t> ids;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (ids.size() < expected && std::chrono::steady_clock::now() < deadline) {
      RawCanMessage frame{};
      if (link_raw_can_read(state.get(), &frame) == 0) {
        ids.push_back(frame.id);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    // Anything beyond what was expected would be a fault too.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    RawCanMessage extra{};
    while (link_raw_can_read(state.get(), &extra) == 0) {
      ids.push_back(extra.id);
    }
    return ids;
  }

  ZelborCounters counters() {
    ZelborCounters result{};
    EXPECT_EQ(link_counters(state.get(), &result), 0);
    return result;
  }
};

std::vector<uint32_t> id_range(uint32_t first, std::size_t count) {
  std::vector<uint32_t> ids;
  for (std::size_t i = 0; i < count; ++i) {
    ids.push_back(first + static_cast<uint32_t>(i));
  }
  return ids;
}

TEST_F(LinkTest, FramesArriveInOrderAndAreCounted) {
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 100, 50)));
  ASSERT_TRUE(device.send_to(host, frames(9, 50, 150, 1)));
  ASSERT_TRUE(device.send_to(host, frames(9, 51, 151, 7)));
  EXPECT_EQ(read_ids(58), id_range(100, 58));
  const ZelborCounters c = counters();
  EXPECT_EQ(c.frames_in, 58u);
  EXPECT_EQ(c.frames_delivered, 58u);
  EXPECT_EQ(c.datagrams_in, 3u);
  EXPECT_EQ(c.frames_lost + c.malformed + c.foreign + c.stale, 0u);
  RawCanMessage frame{};
  EXPECT_EQ(link_raw_can_read(state.get(), &frame), ERR_NO_DATA);
}

// Stopping, the link takes the device's answer to BYE: frames that arrive
// meanwhile count but are not kept, and those the device numbered but never
// sent (dropped while this host was away) are counted lost.
TEST_F(LinkTest, TheAnswerToGoodbyeCountsFramesThatNeverArrived) {
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 100, 50)));
  ASSERT_EQ(read_ids(50).size(), 50u);
  ASSERT_TRUE(device.send_to(host, frames(9, 50, 150, 10)));
  Bytes answer(wire::kMaxDatagram);
  answer.resize(wire::encode_ack({9, host_session, 0, 0}, wire::kGoodbyeAckedType, 180,
                                 answer.data(), answer.size()));
  ASSERT_TRUE(device.send_to(host, answer));
  ASSERT_EQ(link_stop(state.get()), 0);
  const ZelborCounters c = counters();
  EXPECT_EQ(c.frames_in, 60u);
  EXPECT_EQ(c.frames_lost, 120u);
  EXPECT_EQ(c.frames_overflowed, 0u);
}

TEST_F(LinkTest, ControlWriteReturnsOnceAcknowledgedAndTheAckStaysQueued) {
  std::thread responder([this] {
    sockaddr_in from{};
    Bytes request = device.receive(2000, &from);
    while (kind_of(request) == wire::Kind::kHello) {  // a device yet unheard is greeted first
      request = device.receive(2000, &from);
    }
    wire::Datagram datagram{};
    ASSERT_EQ(wire::decode(request.data(), request.size(), datagram), wire::DecodeError::kNone);
    ASSERT_EQ(datagram.header.kind, wire::Kind::kControl);
    CtrlMessage record{};
    wire::control_record(datagram, record);
    EXPECT_EQ(record.type, INIT_CAN_CHIP);
    // First an answer to HELLO with the pending number: it must not count.
    for (const uint16_t type : {wire::kAliveAckedType, record.type}) {
      Bytes ack(64);
      ack.resize(wire::encode_ack({9, host_session, 0, 0}, type, datagram.header.envelope.sequence,
                                  ack.data(), ack.size()));
      device.send_to(from, ack);
    }
  });
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  EXPECT_EQ(link_ctrl_write(state.get(), &init), 0);
  responder.join();
  CtrlMessage received{};
  EXPECT_EQ(link_ctrl_read(state.get(), &received), 0);
  uint16_t acked_type = 0;
  uint32_t acked_number = 0;
  ASSERT_TRUE(wire::parse_ack(received, acked_type, acked_number));
  EXPECT_EQ(acked_type, INIT_CAN_CHIP) << "not the answer to HELLO";
  EXPECT_EQ(link_ctrl_read(state.get(), &received), ERR_NO_DATA);
}

TEST_F(LinkTest, ControlWriteGivesUpWhenTheDeviceNeverAnswers) {
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(link_ctrl_write(state.get(), &init), ZELBOR_ERR_NO_ANSWER);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  int tries = 0;
  for (Bytes bytes = device.receive(0); !bytes.empty(); bytes = device.receive(0)) {
    tries += kind_of(bytes) == wire::Kind::kControl ? 1 : 0;
  }
  EXPECT_EQ(tries, kAckAttempts);
}

TEST_F(LinkTest, DatagramsFromAnyOtherSenderAreCountedAsForeignAndNeverDelivered) {
  UdpEndpoint other_port(address, kDevicePort + 100);
  // Under Wine every loopback socket is 127.0.0.1's: there it differs by port too.
  UdpEndpoint other_address(unique_loopback_address(), rawcan::testing::loopback_is_one_address()
                                                           ? kDevicePort + 102
                                                           : kDevicePort);
  ASSERT_TRUE(other_port.bound());
  ASSERT_TRUE(other_address.bound());
  ASSERT_TRUE(other_port.send_to(host, frames(9, 0, 500, 3)));
  ASSERT_TRUE(other_address.send_to(host, frames(9, 0, 600, 3)));
  ASSERT_TRUE(other_port.send_to(host, control(9, 1, MESSAGE_COUNT)));
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 100, 2)));
  EXPECT_EQ(read_ids(2), id_range(100, 2));
  CtrlMessage record{};
  EXPECT_EQ(link_ctrl_read(state.get(), &record), ERR_NO_DATA);
  EXPECT_EQ(counters().foreign, 3u);
}

TEST_F(LinkTest, MalformedDatagramsFromTheDeviceAreDroppedAndTheLinkGoesOn) {
  const Bytes valid = frames(9, 0, 100, 3);
  auto with = [&valid](std::size_t offset, uint8_t value) {
    Bytes bytes = valid;
    bytes[offset] = value;
    return bytes;
  };
  const std::vector<Bytes> malformed = {
      Bytes(valid.begin(), valid.begin() + 20),  // truncated
      Bytes(3000, 0x5A),                         // oversize
      with(0, 'Q'),                              // wrong magic
      with(2, 9),                                // wrong version
      with(20, 7),                               // count disagrees with length
      with(wire::kHeaderSize + 8, 9),            // frame length byte above 8
      with(3, 99),                               // unknown kind
      Bytes{},                                   // empty
  };
  uint32_t sequence = 0;
  for (const Bytes& bytes : malformed) {
    ASSERT_TRUE(device.send_to(host, bytes));
    ASSERT_TRUE(device.send_to(host, frames(9, sequence, 100 + 10 * sequence, 1)));
    ++sequence;
  }
  std::vector<uint32_t> expected;
  for (uint32_t i = 0; i < sequence; ++i) {
    expected.push_back(100 + 10 * i);
  }
  EXPECT_EQ(read_ids(expected.size()), expected);
  const ZelborCounters c = counters();
  EXPECT_EQ(c.malformed, malformed.size());
  EXPECT_EQ(c.frames_lost, 0u);
}

TEST_F(LinkTest, GapsAreCountedExactlyAndNothingIsDeliveredTwice) {
  for (const uint32_t sequence : {0u, 1u, 5u, 3u, 5u, 6u, 10u}) {
    ASSERT_TRUE(device.send_to(host, frames(9, sequence, 1000 * sequence, 1)));
  }
  EXPECT_EQ(read_ids(5), (std::vector<uint32_t>{0, 1000, 5000, 6000, 10000}));
  const ZelborCounters c = counters();
  EXPECT_EQ(c.frames_lost, 3u + 3u);  // 2-4 and 7-9
  EXPECT_EQ(c.stale, 2u);             // the late 3 and the repeated 5
}

TEST_F(LinkTest, DeviceControlRecordsAreAcknowledgedAndDeliveredOnce) {
  ASSERT_TRUE(device.send_to(host, control(9, 0, MESSAGE_COUNT)));
  ASSERT_TRUE(device.send_to(host, control(9, 0, MESSAGE_COUNT)));  // a repeat
  ASSERT_TRUE(device.send_to(host, control(9, 2, MESSAGE_COUNT)));
  ASSERT_TRUE(device.send_to(host, control(9, 1, MESSAGE_COUNT)));  // late, fills the gap
  ASSERT_TRUE(device.send_to(host, control(9, 2, MESSAGE_COUNT)));  // a repeat after the fill
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  CtrlMessage record{};
  int delivered = 0;
  while (link_ctrl_read(state.get(), &record) == 0) {
    EXPECT_EQ(record.type, MESSAGE_COUNT);
    ++delivered;
  }
  EXPECT_EQ(delivered, 3);
  int acks = 0;
  while (kind_of(device.receive(50)) == wire::Kind::kAck) {
    ++acks;
  }
  EXPECT_EQ(acks, 5);
  EXPECT_EQ(counters().controls_lost, 0u);
  EXPECT_EQ(counters().stale, 2u);
}

TEST_F(LinkTest, ADeviceRestartStartsItsSequenceAfresh) {
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 1, 1)));
  ASSERT_TRUE(device.send_to(host, frames(9, 1, 2, 1)));
  ASSERT_TRUE(device.send_to(host, frames(10, 0, 3, 1)));
  ASSERT_TRUE(device.send_to(host, frames(10, 1, 4, 1)));
  EXPECT_EQ(read_ids(4), (std::vector<uint32_t>{1, 2, 3, 4}));
  EXPECT_EQ(counters().device_restarts, 1u);
  EXPECT_EQ(counters().frames_lost, 0u);
}

// Sequences start at 0, so datagrams lost before the first arrival count too.
TEST_F(LinkTest, LossBeforeTheFirstArrivalIsCounted) {
  ASSERT_TRUE(device.send_to(host, frames(9, 3, 1, 1)));
  ASSERT_TRUE(device.send_to(host, frames(10, 2, 2, 1)));
  EXPECT_EQ(read_ids(2), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(counters().frames_lost, 3u + 2u);
}

TEST_F(LinkTest, AnIdleLinkTellsTheDeviceItIsStillThere) {
  std::this_thread::sleep_for(std::chrono::milliseconds(kKeepaliveIntervalMs + 50));
  RawCanMessage frame{};
  EXPECT_EQ(link_raw_can_read(state.get(), &frame), ERR_NO_DATA);
  EXPECT_EQ(kind_of(device.receive(500)), wire::Kind::kHello);
}

TEST_F(LinkTest, UnreadFramesNeverHoldBackAControlRecord) {
  for (uint32_t sequence = 0; sequence < 200; ++sequence) {
    ASSERT_TRUE(device.send_to(host, frames(9, sequence * 50, sequence, 50)));
  }
  ASSERT_TRUE(device.send_to(host, control(9, 0, MESSAGE_COUNT)));
  CtrlMessage record{};
  int32_t result = ERR_NO_DATA;
  for (int i = 0; i < 1000 && result == ERR_NO_DATA; ++i) {
    result = link_ctrl_read(state.get(), &record);
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(record.type, MESSAGE_COUNT);
  EXPECT_GT(counters().frames_overflowed, 0u);
}

// A read that finds only strangers' datagrams goes on receiving: an empty
// read means nothing of the caller's kind is waiting.
TEST_F(LinkTest, AFloodOfForeignDatagramsCostsTimeNotFrames) {
  UdpEndpoint stranger(address, kDevicePort + 200);
  ASSERT_TRUE(stranger.bound());
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(stranger.send_to(host, frames(9, 0, 7, 1)));
  }
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 42, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // all of it queued on the socket
  RawCanMessage frame{};
  ASSERT_EQ(link_raw_can_read(state.get(), &frame), 0);
  EXPECT_EQ(frame.id, 42u);
  EXPECT_EQ(counters().foreign, 3000u);
}

// A program restarted on the same endpoint never sees what the device still
// repeats for its earlier run.
TEST_F(LinkTest, DatagramsForAnEarlierRunAreNeverDelivered) {
  ASSERT_TRUE(device.send_to(host, control_datagram(9, host_session + 1, 0, MESSAGE_COUNT)));
  ASSERT_TRUE(device.send_to(host, frames_datagram(9, host_session + 1, 0, 5, 1)));
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 6, 1)));
  EXPECT_EQ(read_ids(1), std::vector<uint32_t>{6});
  CtrlMessage record{};
  EXPECT_EQ(link_ctrl_read(state.get(), &record), ERR_NO_DATA);
  EXPECT_EQ(counters().foreign, 2u);
}

// Frames written are held and sent again until the device takes them; when
// nothing more can be held, a write is refused whole.
TEST_F(LinkTest, WrittenFramesAreSentAgainUntilTakenAndABacklogIsRefused) {
  RawCanMessage frame{};
  frame.id = 0x55;
  ASSERT_EQ(link_raw_can_write(state.get(), &frame, 1), 0);
  int copies = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (copies < 2 && std::chrono::steady_clock::now() < deadline) {
    CtrlMessage record{};
    link_ctrl_read(state.get(), &record);
    const Bytes bytes = device.receive(0);
    if (!bytes.empty() && kind_of(bytes) == wire::Kind::kFrames) {
      EXPECT_EQ(decoded(bytes).header.envelope.sequence, 0u);
      ++copies;
    }
  }
  ASSERT_EQ(copies, 2) << "sent again while the device has not taken it";

  for (int i = 1; i < kHeldBatches; ++i) {
    ASSERT_EQ(link_raw_can_write(state.get(), &frame, 1), 0);
  }
  EXPECT_EQ(link_raw_can_write(state.get(), &frame, 1), ZELBOR_ERR_BACKLOG);
}

// An ack waiting on the socket is taken before anything is sent again.
TEST_F(LinkTest, FramesTakenMeanwhileAreNotSentAgain) {
  RawCanMessage frame{};
  ASSERT_EQ(link_raw_can_write(state.get(), &frame, 1), 0);
  ASSERT_EQ(kind_of(device.receive(1000)), wire::Kind::kFrames);
  Bytes taken(64);
  taken.resize(wire::encode_ack({9, host_session, 0, 1}, wire::kFramesAckedType, 0, taken.data(),
                                taken.size()));
  ASSERT_TRUE(device.send_to(host, taken));
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * kResendIntervalMs));
  CtrlMessage record{};
  link_ctrl_read(state.get(), &record);
  for (Bytes bytes = device.receive(50); !bytes.empty(); bytes = device.receive(50)) {
    EXPECT_NE(kind_of(bytes), wire::Kind::kFrames);
  }
  EXPECT_EQ(counters().batches_resent, 0u);
}

// What a caller waits on: the socket, readable when a datagram waits; for
// how long, bounded by the resend of held frames; and the device's silence.
TEST_F(LinkTest, TheLinkStatusSaysWhatToWaitOnAndForHowLong) {
  RawCanMessage written[3]{};
  ASSERT_EQ(link_raw_can_write(state.get(), written, 3), 0);
  ZelborLinkStatus status{};
  ASSERT_EQ(link_status(state.get(), &status), 0);
  EXPECT_LE(status.wake_within_ms, kResendIntervalMs);
  EXPECT_EQ(status.batches_held, 1u);
  EXPECT_EQ(status.frames_held, 3u);
  EXPECT_EQ(status.device_silent_ms, -1);
  ASSERT_TRUE(device.send_to(host, frames(9, 0, 1, 1)));
  EXPECT_EQ(system_socket_ops().wait(static_cast<SocketHandle>(status.descriptor), false, 1000), 1);
  RawCanMessage frame{};
  EXPECT_EQ(link_raw_can_read(state.get(), &frame), 0);
  ASSERT_EQ(link_status(state.get(), &status), 0);
  EXPECT_GE(status.device_silent_ms, 0);
  EXPECT_LT(status.device_silent_ms, 1000);
}

TEST_F(LinkTest, AControlWriteToAChannelHeldByAnotherHostFailsAtOnce) {
  std::thread responder([this] {
    sockaddr_in from{};
    device.receive(2000, &from);
    Bytes refused(64);
    refused.resize(wire::encode_signal(wire::Kind::kRefused, {0, host_session, 0, 0},
                                       refused.data(), refused.size()));
    device.send_to(from, refused);
  });
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  EXPECT_EQ(link_ctrl_write(state.get(), &init), ZELBOR_ERR_REFUSED);
  responder.join();
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

TEST_F(LinkTest, BadArgumentsAreRefusedWithoutSending) {
  RawCanMessage frames[2]{};
  frames[1].length = 9;
  EXPECT_EQ(link_raw_can_write(state.get(), frames, 2), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_raw_can_write(state.get(), frames, -1), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_raw_can_write(state.get(), nullptr, 1), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_raw_can_read(state.get(), nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_ctrl_read(state.get(), nullptr), ZELBOR_ERR_ARGUMENT);
  EXPECT_EQ(link_ctrl_write(state.get(), nullptr), ZELBOR_ERR_ARGUMENT);
  CtrlMessage too_long{};
  too_long.length = 525;
  EXPECT_EQ(link_ctrl_write(state.get(), &too_long), ZELBOR_ERR_ARGUMENT);
  EXPECT_TRUE(device.receive(50).empty());
}

TEST_F(LinkTest, WritesTravelInDatagramsOfAtMostFiftyFrames) {
  std::vector<RawCanMessage> frames(120);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    frames[i].id = static_cast<uint32_t>(i);
    frames[i].length = 8;
  }
  EXPECT_EQ(link_raw_can_write(state.get(), frames.data(), 120), 0);
  std::vector<uint16_t> counts;
  std::vector<uint32_t> ids;
  for (Bytes bytes = device.receive(500); !bytes.empty(); bytes = device.receive(50)) {
    wire::Datagram datagram{};
    ASSERT_EQ(wire::decode(bytes.data(), bytes.size(), datagram), wire::DecodeError::kNone);
    counts.push_back(datagram.header.count);
    for (std::size_t i = 0; i < datagram.header.count; ++i) {
      RawCanMessage frame{};
      wire::frame_at(datagram, i, frame);
      ids.push_back(frame.id);
    }
  }
  EXPECT_EQ(counts, (std::vector<uint16_t>{50, 50, 20}));
  EXPECT_EQ(ids, id_range(0, 120));
}

TEST(LinkStates, SeveralStatesCoexistInOneProcess) {
  const uint32_t address = unique_loopback_address();
  UdpEndpoint device0(address, kDevicePort);
  UdpEndpoint device1(address, kDevicePort + 2);
  auto state0 = std::make_unique<InterfaceState>();
  auto state1 = std::make_unique<InterfaceState>();
  ASSERT_EQ(link_start(state0.get(), address, address, kHostPort, kDevicePort, 0), 0);
  ASSERT_EQ(link_start(state1.get(), address, address, kHostPort + 2, kDevicePort + 2, 1), 0);
  auto session_of = [](const Bytes& hello) {
    wire::Datagram datagram{};
    EXPECT_EQ(wire::decode(hello.data(), hello.size(), datagram), wire::DecodeError::kNone);
    return datagram.header.envelope.session;
  };
  const uint32_t session0 = session_of(device0.receive(1000));
  const uint32_t session1 = session_of(device1.receive(1000));
  ASSERT_TRUE(
      device0.send_to(endpoint(address, kHostPort), frames_datagram(1, session0, 0, 10, 1)));
  ASSERT_TRUE(
      device1.send_to(endpoint(address, kHostPort + 2), frames_datagram(2, session1, 0, 20, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  RawCanMessage frame{};
  ASSERT_EQ(link_raw_can_read(state0.get(), &frame), 0);
  EXPECT_EQ(frame.id, 10u);
  ASSERT_EQ(link_raw_can_read(state1.get(), &frame), 0);
  EXPECT_EQ(frame.id, 20u);
  EXPECT_EQ(link_raw_can_read(state0.get(), &frame), ERR_NO_DATA);
  link_stop(state0.get());
  link_stop(state1.get());
}

}  // namespace
}  // namespace zelbor
