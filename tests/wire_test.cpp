#include "wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zelbor::wire {
namespace {

using Bytes = std::vector<uint8_t>;

RawCanMessage test_frame(int i) {
  RawCanMessage frame{};
  frame.id = 0x80000000u | static_cast<uint32_t>(i * 7919);
  frame.length = static_cast<int8_t>(i % 9);
  for (int b = 0; b < 8; ++b) {
    frame.data[b] = static_cast<uint8_t>(i * 31 + b);
  }
  frame.aux_byte = static_cast<uint8_t>(i);
  frame.aux_word = 0xA5A5A5A5u ^ static_cast<uint32_t>(i);
  frame.time_high = static_cast<uint32_t>(i);
  frame.time_low = 0xFFFFFFF0u + static_cast<uint32_t>(i);
  return frame;
}

Bytes frames_datagram(std::size_t count, uint32_t sequence = 7) {
  std::vector<RawCanMessage> frames;
  for (std::size_t i = 0; i < count; ++i) {
    frames.push_back(test_frame(static_cast<int>(i)));
  }
  Bytes out(kMaxDatagram);
  out.resize(encode_frames({0xC0FFEE, 0xBEEF, sequence, 0x10203040}, frames.data(), count,
                           out.data(), out.size()));
  return out;
}

Bytes control_datagram(uint16_t length) {
  CtrlMessage record{};
  record.type = 0x1234;
  record.length = length;
  for (int i = 0; i < length; ++i) {
    record.data[i] = static_cast<uint8_t>(i);
  }
  Bytes out(kHeaderSize + sizeof(CtrlMessage));
  out.resize(encode_control(Kind::kControl, {1, 3, 2, 4}, record, out.data(), out.size()));
  return out;
}

DecodeError decode_bytes(const Bytes& bytes) {
  Datagram datagram{};
  return decode(bytes.data(), bytes.size(), datagram);
}

TEST(Wire, FramesRoundTripForEveryBatchSize) {
  for (std::size_t count = 1; count <= kMaxFramesPerDatagram; ++count) {
    const Bytes bytes = frames_datagram(count, static_cast<uint32_t>(count));
    ASSERT_EQ(bytes.size(), kHeaderSize + kFrameSize * count);
    Datagram datagram{};
    ASSERT_EQ(decode(bytes.data(), bytes.size(), datagram), DecodeError::kNone);
    EXPECT_EQ(datagram.header.kind, Kind::kFrames);
    EXPECT_EQ(datagram.header.envelope.session, 0xC0FFEEu);
    EXPECT_EQ(datagram.header.envelope.peer, 0xBEEFu);
    EXPECT_EQ(datagram.header.envelope.sequence, count);
    EXPECT_EQ(datagram.header.envelope.ack, 0x10203040u);
    ASSERT_EQ(datagram.header.count, count);
    for (std::size_t i = 0; i < count; ++i) {
      RawCanMessage decoded{};
      frame_at(datagram, i, decoded);
      const RawCanMessage expected = test_frame(static_cast<int>(i));
      EXPECT_EQ(std::memcmp(&decoded, &expected, sizeof decoded), 0) << i;
    }
  }
  EXPECT_EQ(frames_datagram(50).size(), 1424u);  // one batch, one Ethernet frame
}

TEST(Wire, ControlAckAndSignalsRoundTrip) {
  for (const uint16_t length : {0, 1, 10, 523, 524}) {
    const Bytes bytes = control_datagram(length);
    Datagram datagram{};
    ASSERT_EQ(decode(bytes.data(), bytes.size(), datagram), DecodeError::kNone) << length;
    CtrlMessage record{};
    control_record(datagram, record);
    EXPECT_EQ(record.type, 0x1234);
    ASSERT_EQ(record.length, length);
    for (int i = 0; i < length; ++i) {
      ASSERT_EQ(record.data[i], static_cast<uint8_t>(i));
    }
  }

  uint8_t buffer[64];
  std::size_t size = encode_ack({9, 8, 10, 7}, INIT_CAN_CHIP, 0xDEADBEEF, buffer, sizeof buffer);
  Datagram datagram{};
  ASSERT_EQ(decode(buffer, size, datagram), DecodeError::kNone);
  EXPECT_EQ(datagram.header.kind, Kind::kAck);
  CtrlMessage record{};
  control_record(datagram, record);
  uint16_t acked_type = 0;
  uint32_t acked_sequence = 0;
  ASSERT_TRUE(parse_ack(record, acked_type, acked_sequence));
  EXPECT_EQ(acked_type, INIT_CAN_CHIP);
  EXPECT_EQ(acked_sequence, 0xDEADBEEFu);

  for (const Kind kind : {Kind::kHello, Kind::kBye, Kind::kRefused}) {
    size = encode_signal(kind, {1, 2, 3, 4}, buffer, sizeof buffer);
    ASSERT_EQ(size, kHeaderSize);
    ASSERT_EQ(decode(buffer, size, datagram), DecodeError::kNone);
    EXPECT_EQ(datagram.header.kind, kind);
    EXPECT_EQ(datagram.header.envelope.ack, 4u);
  }
}

TEST(Wire, MalformedDatagramsAreRejected) {
  const Bytes frames = frames_datagram(3);
  const Bytes control = control_datagram(10);
  auto with = [](Bytes bytes, std::size_t offset, uint8_t value) {
    bytes[offset] = value;
    return bytes;
  };
  auto resized = [](Bytes bytes, std::size_t size) {
    bytes.resize(size, 0);
    return bytes;
  };
  Bytes hello(32);
  hello.resize(encode_signal(Kind::kHello, {1, 0, 0, 0}, hello.data(), hello.size()));

  struct Case {
    const char* what;
    Bytes bytes;
    DecodeError expected;
  };
  const Case cases[] = {
      {"empty", {}, DecodeError::kTruncated},
      {"header cut short", resized(frames, kHeaderSize - 1), DecodeError::kTruncated},
      {"bad magic", with(frames, 0, 'X'), DecodeError::kBadMagic},
      {"bad second magic byte", with(frames, 1, 'X'), DecodeError::kBadMagic},
      {"the earlier version", with(frames, 2, 1), DecodeError::kBadVersion},
      {"kind 0", with(frames, 3, 0), DecodeError::kUnknownKind},
      {"kind 7", with(frames, 3, 7), DecodeError::kUnknownKind},
      {"kind 255", with(frames, 3, 255), DecodeError::kUnknownKind},
      {"reserved set", with(frames, 23, 1), DecodeError::kBadReserved},
      {"count larger than the payload", with(frames, 20, 4), DecodeError::kTruncated},
      {"count smaller than the payload", with(frames, 20, 2), DecodeError::kOversize},
      {"count 0", with(frames, 20, 0), DecodeError::kBadCount},
      {"count 51", with(with(frames, 20, 51), 21, 0), DecodeError::kBadCount},
      {"count 65535", with(with(frames, 20, 0xFF), 21, 0xFF), DecodeError::kBadCount},
      {"larger than any datagram", resized(frames_datagram(50), kMaxDatagram + 1),
       DecodeError::kOversize},
      {"frame length byte 9", with(frames, kHeaderSize + kFrameSize + 8, 9),
       DecodeError::kBadFrameLength},
      {"frame length byte 0x80", with(frames, kHeaderSize + 8, 0x80), DecodeError::kBadFrameLength},
      {"frame length byte 0xFF", with(frames, kHeaderSize + 2 * kFrameSize + 8, 0xFF),
       DecodeError::kBadFrameLength},
      {"control count 2", with(control, 20, 2), DecodeError::kBadCount},
      {"control length past the data", with(control, kHeaderSize + 2, 11), DecodeError::kTruncated},
      {"control length short of the data", with(control, kHeaderSize + 2, 9),
       DecodeError::kOversize},
      {"control length 525", with(with(control, kHeaderSize + 2, 0x0D), kHeaderSize + 3, 0x02),
       DecodeError::kBadControlLength},
      {"control without its header", resized(control, kHeaderSize + 3), DecodeError::kTruncated},
      {"ack of the wrong record type", with(control, 3, static_cast<uint8_t>(Kind::kAck)),
       DecodeError::kBadControlLength},
      {"hello with a count", with(hello, 20, 1), DecodeError::kBadCount},
      {"bye with a payload",
       with(resized(hello, kHeaderSize + 4), 3, static_cast<uint8_t>(Kind::kBye)),
       DecodeError::kOversize},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_bytes(c.bytes), c.expected) << c.what;
  }
}

TEST(Wire, EveryPrefixOfAValidDatagramIsRejected) {
  for (const Bytes& valid : {frames_datagram(50), control_datagram(524), control_datagram(0)}) {
    for (std::size_t size = 0; size < valid.size(); ++size) {
      const Bytes prefix(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_NE(decode_bytes(prefix), DecodeError::kNone) << size;
    }
  }
}

TEST(Wire, EncodersRefuseWhatCannotBeDecoded) {
  std::vector<RawCanMessage> frames(51);
  uint8_t buffer[2 * kMaxDatagram];
  EXPECT_EQ(encode_frames({1, 1, 1, 1}, frames.data(), 51, buffer, sizeof buffer), 0u);
  EXPECT_EQ(encode_frames({1, 1, 1, 1}, frames.data(), 0, buffer, sizeof buffer), 0u);
  EXPECT_EQ(encode_frames({1, 1, 1, 1}, frames.data(), 50, buffer, kMaxDatagram - 1), 0u);
  frames[3].length = 9;
  EXPECT_EQ(encode_frames({1, 1, 1, 1}, frames.data(), 5, buffer, sizeof buffer), 0u);
  frames[3].length = -1;
  EXPECT_EQ(encode_frames({1, 1, 1, 1}, frames.data(), 5, buffer, sizeof buffer), 0u);
  CtrlMessage record{};
  record.length = 525;
  EXPECT_EQ(encode_control(Kind::kControl, {1, 1, 1, 1}, record, buffer, sizeof buffer), 0u);
  record.length = 10;
  EXPECT_EQ(encode_control(Kind::kControl, {1, 1, 1, 1}, record, buffer, kHeaderSize + 13), 0u);
  EXPECT_EQ(encode_control(Kind::kFrames, {1, 1, 1, 1}, record, buffer, sizeof buffer), 0u);
}

}  // namespace
}  // namespace zelbor::wire

namespace zelbor::wire {
namespace {

// The worked example of the protocol description, byte for byte.
TEST(Wire, DocumentedFramesExample) {
  RawCanMessage frame{};
  frame.id = 0x3E8;
  frame.length = 8;
  uint8_t bytes[kMaxDatagram];
  const std::size_t size =
      encode_frames({0x11223344, 0x55667788, 5, 2}, &frame, 1, bytes, sizeof bytes);
  const std::vector<uint8_t> expected = {
      0x5A, 0x42, 0x02, 0x01, 0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0x05,
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0xE8, 0x03, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + size), expected);
}

}  // namespace
}  // namespace zelbor::wire
