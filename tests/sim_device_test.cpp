#include "sim_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "captured_output.h"
#include "loopback.h"

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

const sockaddr_in kHostA = endpoint(0x7F000001, 34568);
const sockaddr_in kHostB = endpoint(0x7F000001, 34570);
constexpr uint32_t kDeviceSession = 0xABCD;

class SimDeviceTest : public ::testing::Test {
 protected:
  rawcan::testing::CapturedOutput events;
  SimDevice device{2, kDeviceSession, 0.0, 1, 0, events.file()};
  RecordingOutbox outbox;
  uint32_t host_sequence = 0;

  void deliver(int channel, const sockaddr_in& from, const std::vector<uint8_t>& bytes,
               int64_t now_ns = 0) {
    device.handle(channel, from, bytes.data(), bytes.size(), now_ns, outbox);
  }
  std::vector<uint8_t> hello(uint32_t known_session = 0) {
    std::vector<uint8_t> bytes(64);
    bytes.resize(
        wire::encode_hello(77, host_sequence++, known_session, bytes.data(), bytes.size()));
    return bytes;
  }
  std::vector<uint8_t> init() {
    CtrlMessage record{};
    record.type = INIT_CAN_CHIP;
    record.length = 10;
    std::vector<uint8_t> bytes(128);
    bytes.resize(wire::encode_control(wire::Kind::kControl, 77, host_sequence++, record,
                                      bytes.data(), bytes.size()));
    return bytes;
  }
  std::vector<uint8_t> frames(int count) {
    std::vector<RawCanMessage> batch(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      batch[i].id = 1000 + static_cast<uint32_t>(i);
      batch[i].length = 8;
    }
    std::vector<uint8_t> bytes(wire::kMaxDatagram);
    bytes.resize(wire::encode_frames(77, host_sequence++, batch.data(), batch.size(), bytes.data(),
                                     bytes.size()));
    return bytes;
  }
};

TEST_F(SimDeviceTest, AcknowledgesInitCanChipWithTheSequenceItCameWith) {
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  std::vector<uint8_t> bytes(128);
  bytes.resize(
      wire::encode_control(wire::Kind::kControl, 77, 41, init, bytes.data(), bytes.size()));
  deliver(0, kHostA, bytes);
  const auto acks = outbox.of_kind(wire::Kind::kAck);
  ASSERT_EQ(acks.size(), 1u);
  CtrlMessage record{};
  wire::control_record(acks[0]->datagram, record);
  uint16_t type = 0;
  uint32_t sequence = 0;
  ASSERT_TRUE(wire::parse_ack(record, type, sequence));
  EXPECT_EQ(type, INIT_CAN_CHIP);
  EXPECT_EQ(sequence, 41u);
  EXPECT_EQ(acks[0]->datagram.header.session, kDeviceSession);
  EXPECT_NE(events.text().find("channel 0: host 127.0.0.1:34568 joined"), std::string::npos);
}

TEST_F(SimDeviceTest, FramesReachEveryOtherChannelStampedAndTheWriterGetsItsCount) {
  deliver(1, kHostB, init());
  outbox.sent.clear();
  deliver(0, kHostA, frames(50), 1'000'000);  // 1 ms after start: count 32,000
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

  const auto controls = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(controls.size(), 1u);
  EXPECT_EQ(controls[0]->channel, 0);
  CtrlMessage count{};
  wire::control_record(controls[0]->datagram, count);
  EXPECT_EQ(count.type, MESSAGE_COUNT);
  EXPECT_EQ(count.data[0] | (count.data[1] << 8), 50);
  EXPECT_EQ(device.stats(0).frames_in, 50u);
  EXPECT_EQ(device.stats(1).frames_out, 50u);
}

TEST_F(SimDeviceTest, ControlRecordsAreRepeatedUntilAcknowledged) {
  deliver(0, kHostA, frames(1));
  ASSERT_EQ(outbox.of_kind(wire::Kind::kControl).size(), 1u);
  device.tick(kControlRetryNs, outbox);
  const auto repeats = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(repeats.size(), 2u);
  EXPECT_EQ(repeats[0]->bytes, repeats[1]->bytes) << "a repeat keeps its sequence number";

  std::vector<uint8_t> ack(64);
  ack.resize(wire::encode_ack(77, host_sequence++, MESSAGE_COUNT,
                              repeats[0]->datagram.header.sequence, ack.data(), ack.size()));
  deliver(0, kHostA, ack, kControlRetryNs);
  device.tick(3 * kControlRetryNs, outbox);
  EXPECT_EQ(outbox.of_kind(wire::Kind::kControl).size(), 2u);
}

// A host hears the bus once its chip is initialised, or at once when it
// comes back to a device that restarted: frames before that are not its own.
TEST_F(SimDeviceTest, AHostListensAfterInitOrWhenItKnewTheDeviceBefore) {
  deliver(1, kHostB, hello(0));
  deliver(0, kHostA, frames(3));
  device.flush(outbox);
  EXPECT_TRUE(outbox.of_kind(wire::Kind::kFrames).empty());
  EXPECT_FALSE(device.host_listening(1));
  deliver(1, kHostB, init());
  deliver(0, kHostA, frames(3));
  device.flush(outbox);
  EXPECT_EQ(outbox.of_kind(wire::Kind::kFrames).size(), 1u);

  SimDevice restarted(2, kDeviceSession + 1, 0.0, 1, 0, nullptr);
  RecordingOutbox after_restart;
  const std::vector<uint8_t> back = hello(kDeviceSession);
  restarted.handle(1, kHostB, back.data(), back.size(), 0, after_restart);
  EXPECT_TRUE(restarted.host_listening(1));
}

TEST_F(SimDeviceTest, AHostThatKnewAnEarlierDeviceIsToldItIsBack) {
  deliver(0, kHostA, hello(0));
  deliver(0, kHostA, hello(kDeviceSession));
  EXPECT_TRUE(outbox.of_kind(wire::Kind::kControl).empty());
  deliver(0, kHostA, hello(kDeviceSession + 1));
  const auto controls = outbox.of_kind(wire::Kind::kControl);
  ASSERT_EQ(controls.size(), 1u);
  CtrlMessage record{};
  wire::control_record(controls[0]->datagram, record);
  EXPECT_EQ(record.type, wire::kReadyRecordType);
}

TEST_F(SimDeviceTest, HostsLeaveOnGoodbyeOrSilence) {
  deliver(0, kHostA, hello());
  deliver(1, kHostB, hello());
  std::vector<uint8_t> bye(32);
  bye.resize(wire::encode_bye(77, host_sequence++, bye.data(), bye.size()));
  deliver(0, kHostA, bye);
  EXPECT_FALSE(device.host_present(0));
  device.tick(kHostTimeoutNs + 1, outbox);
  EXPECT_FALSE(device.host_present(1));
  const std::string text = events.text();
  EXPECT_NE(text.find("channel 0: host 127.0.0.1:34568 left (goodbye)"), std::string::npos);
  EXPECT_NE(text.find("channel 1: host 127.0.0.1:34570 left (silent)"), std::string::npos);
}

TEST_F(SimDeviceTest, MalformedInputIsCountedAndChangesNothing) {
  std::vector<uint8_t> bad = frames(2);
  bad[wire::kHeaderSize + 8] = 9;
  deliver(0, kHostA, bad);
  deliver(0, kHostA, {});
  device.handle(5, kHostA, bad.data(), bad.size(), 0, outbox);  // no such channel
  EXPECT_EQ(device.stats(0).malformed, 2u);
  EXPECT_FALSE(device.host_present(0));
  EXPECT_TRUE(outbox.sent.empty());
}

TEST(SimDeviceDrop, EveryDatagramDroppedAtFractionOneNoneAtZero) {
  for (const double fraction : {0.0, 1.0}) {
    RecordingOutbox outbox;
    SimDevice device(2, 1, fraction, 99, 0, nullptr);
    std::vector<uint8_t> hello(64);  // a host that knew the device listens at once
    hello.resize(wire::encode_hello(5, 0, 1, hello.data(), hello.size()));
    device.handle(1, kHostB, hello.data(), hello.size(), 0, outbox);
    RawCanMessage frame{};
    for (uint32_t i = 0; i < 10; ++i) {
      std::vector<uint8_t> bytes(wire::kMaxDatagram);
      bytes.resize(wire::encode_frames(6, i, &frame, 1, bytes.data(), bytes.size()));
      device.handle(0, kHostA, bytes.data(), bytes.size(), 0, outbox);
      device.flush(outbox);
    }
    EXPECT_EQ(device.stats(1).frames_out, fraction == 0.0 ? 10u : 0u);
    EXPECT_EQ(device.stats(1).dropped, fraction == 0.0 ? 0u : 10u);
  }
}

}  // namespace
}  // namespace zelbor::sim

#include "generated.h"

namespace zelbor::sim {
namespace {

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

TEST(SimGenerator, StartsWhenTheFirstHostListensKeepsItsRateAndStopsAtItsCount) {
  RecordingOutbox outbox;
  SimDevice device(2, 1, 0.0, 1, 0, nullptr);
  device.enable_generator(1000.0, 5);
  device.generate(1'000'000'000, outbox);
  device.flush(outbox);
  EXPECT_TRUE(outbox.sent.empty()) << "nothing before a host listens";

  std::vector<uint8_t> hello(64);  // a host that knew the device listens at once
  hello.resize(wire::encode_hello(5, 0, 1, hello.data(), hello.size()));
  const int64_t joined = 2'000'000'000;
  device.handle(1, kHostB, hello.data(), hello.size(), joined, outbox);
  device.generate(joined + 2'500'000, outbox);  // 2.5 ms at 1000 frames/s
  device.flush(outbox);
  EXPECT_EQ(frames_sent(outbox).size(), 2u);
  device.generate(joined + 100'000'000, outbox);
  device.flush(outbox);
  const std::vector<RawCanMessage> frames = frames_sent(outbox);
  ASSERT_EQ(frames.size(), 5u) << "the count caps generation";
  EXPECT_FALSE(device.generator_running());
  for (uint64_t n = 0; n < frames.size(); ++n) {
    RawCanMessage expected = generated_frame(n);
    EXPECT_EQ(frames[n].id, expected.id);
    EXPECT_EQ(frames[n].length, expected.length);
    EXPECT_EQ(0, std::memcmp(frames[n].data, expected.data, 8));
  }
  EXPECT_EQ(frames[3].id, RAW_CAN_EXTENDED_FLAG | 3u) << "every fourth frame is extended";
}

}  // namespace
}  // namespace zelbor::sim
