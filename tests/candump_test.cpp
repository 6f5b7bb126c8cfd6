#include "candump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "loopback.h"
#include "recorder.h"
#include "wire.h"

namespace zelbor::sim {
namespace {

TEST(Candump, LinesOfEveryKind) {
  struct Case {
    std::string line;
    LogLine kind;
    int64_t time_us;
    uint32_t id;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {"(1436509052.249713) can0 123#DEADBEEF",
       LogLine::kFrame,
       1436509052249713,
       0x123,
       {0xDE, 0xAD, 0xBE, 0xEF}},
      {"(1436509052.249713) can0 12345678#00",
       LogLine::kFrame,
       1436509052249713,
       0x80000000u | 0x12345678,
       {0x00}},
      {"(0.000001) vcan1 7FF#", LogLine::kFrame, 1, 0x7FF, {}},
      {"(12.5) can0 001#1122334455667788",
       LogLine::kFrame,
       12500000,
       0x001,
       {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
      {"  (1.000000)\tcan0\t0ab#de.ad.BE.ef  \r\n",
       LogLine::kFrame,
       1000000,
       0x0AB,
       {0xDE, 0xAD, 0xBE, 0xEF}},
      {"(1.1234567) can0 123#", LogLine::kFrame, 1123456, 0x123, {}},
      {"", LogLine::kSkipped, 0, 0, {}},
      {"   \r", LogLine::kSkipped, 0, 0, {}},
      {"# a comment", LogLine::kSkipped, 0, 0, {}},
      {"(1.0) can0 123#R", LogLine::kRemote, 0, 0, {}},
      {"(1.0) can0 123#R4", LogLine::kRemote, 0, 0, {}},
      {"(1.0) can0 12345678#r", LogLine::kRemote, 0, 0, {}},
      {"(1.0) can0 123##1DEADBEEF", LogLine::kFd, 0, 0, {}},
      {"(1.0) can0 123##0", LogLine::kFd, 0, 0, {}},
      {"1.0 can0 123#00", LogLine::kMalformed, 0, 0, {}},         // no parentheses
      {"(1.0) 123#00", LogLine::kMalformed, 0, 0, {}},            // no interface
      {"(1.0) can0 1234#00", LogLine::kMalformed, 0, 0, {}},      // 4 hex digits
      {"(1.0) can0 800#00", LogLine::kMalformed, 0, 0, {}},       // above 11 bits
      {"(1.0) can0 40000000#00", LogLine::kMalformed, 0, 0, {}},  // above 29 bits
      {"(1.0) can0 20000080#0000000000000000", LogLine::kError, 0, 0, {}},
      {"(1.0) can0 20000004#", LogLine::kError, 0, 0, {}},
      {"(1700000000.000000) can0 079#F2 R", LogLine::kFrame, 1700000000000000, 0x79, {0xF2}},
      {"(1.0) can0 12345678#0102 T", LogLine::kFrame, 1000000, 0x80000000u | 0x12345678, {1, 2}},
      {"(1.0) can0 123#R R", LogLine::kRemote, 0, 0, {}},
      {"(1.0) can0 123#01 X", LogLine::kMalformed, 0, 0, {}},  // not a direction
      {"(1.0) can0 123#01 R T", LogLine::kMalformed, 0, 0, {}},
      {"(1.0) can0 12G#00", LogLine::kMalformed, 0, 0, {}},                  // not hex
      {"(1.0) can0 123#0", LogLine::kMalformed, 0, 0, {}},                   // half a byte
      {"(1.0) can0 123#112233445566778899", LogLine::kMalformed, 0, 0, {}},  // 9 bytes
      {"(1.0) can0 123#XY", LogLine::kMalformed, 0, 0, {}},
      {"(a.0) can0 123#00", LogLine::kMalformed, 0, 0, {}},
      {"(1.) can0 123#00", LogLine::kMalformed, 0, 0, {}},
      {"(.5) can0 123#00", LogLine::kMalformed, 0, 0, {}},
      {"(1.0) can0 123", LogLine::kMalformed, 0, 0, {}},
      {"(99999999999999999999.0) can0 123#", LogLine::kMalformed, 0, 0, {}},  // too long
  };
  for (const Case& c : cases) {
    LogEntry entry{};
    ASSERT_EQ(parse_candump_line(c.line, entry), c.kind) << c.line;
    if (c.kind != LogLine::kFrame) {
      continue;
    }
    EXPECT_EQ(entry.time_us, c.time_us) << c.line;
    EXPECT_EQ(entry.frame.id, c.id) << c.line;
    EXPECT_EQ(std::vector<uint8_t>(entry.frame.data, entry.frame.data + entry.frame.length), c.data)
        << c.line;
  }
}

TEST(Candump, RecordedLinesReadBackAsTheSameFrames) {
  const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> frames = {
      {0x123, {0xDE, 0xAD}}, {0x80000000u | 0x1ABCDEF0, {1, 2, 3, 4, 5, 6, 7, 8}}, {0x7FF, {}}};
  int64_t time_us = 1436509052249713;
  for (const auto& [id, data] : frames) {
    RawCanMessage frame{};
    frame.id = id;
    frame.length = static_cast<int8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.data);
    char line[kMaxCandumpLine];
    const std::size_t size = format_candump_line(time_us, 3, frame, line);
    ASSERT_LE(size, kMaxCandumpLine);
    ASSERT_EQ(line[size - 1], '\n');
    EXPECT_NE(std::string(line, size).find(" zelbor3 "), std::string::npos);
    LogEntry entry{};
    ASSERT_EQ(parse_candump_line(std::string_view(line, size), entry), LogLine::kFrame)
        << std::string(line, size);
    EXPECT_EQ(entry.time_us, time_us);
    EXPECT_EQ(entry.frame.id, id);
    EXPECT_EQ(std::vector<uint8_t>(entry.frame.data, entry.frame.data + entry.frame.length), data);
    time_us += 1;
  }
  RawCanMessage frame{};
  frame.id = 0x123;
  frame.length = 2;
  frame.data[0] = 0xAB;
  frame.data[1] = 0x01;
  char line[kMaxCandumpLine];
  EXPECT_EQ(std::string(line, format_candump_line(1436509052249713, 0, frame, line)),
            "(1436509052.249713) zelbor0 123#AB01\n");
}

// A program can hand the library a standard identifier above 0x7FF, or data
// beyond the frame's length. The bus carries what a CAN controller sends, so
// each frame a host hears is the frame its recorded line replays to.
TEST(Recording, HostsHearWhatTheRecordingReplays) {
  class Captured final : public Outbox {
   public:
    std::vector<RawCanMessage> frames;
    bool send(int, const sockaddr_in&, const uint8_t* bytes, std::size_t size) override {
      wire::Datagram datagram{};
      if (wire::decode(bytes, size, datagram) == wire::DecodeError::kNone &&
          datagram.header.kind == wire::Kind::kFrames) {
        for (std::size_t i = 0; i < datagram.header.count; ++i) {
          wire::frame_at(datagram, i, frames.emplace_back());
        }
      }
      return true;
    }
  } outbox;
  const std::string path = ::testing::TempDir() + "recording_test.log";
  std::remove(path.c_str());
  Recorder recorder;
  ASSERT_TRUE(recorder.open(path, 0));
  SimDevice device(2, {}, 1, 0, nullptr);
  device.add_bus_observer(&recorder);
  uint8_t bytes[wire::kMaxDatagram];
  // The host of channel 1 listens (it knew this device); the host of channel 0 writes.
  device.handle(1, rawcan::testing::endpoint(0x7F000001, 34570), bytes,
                wire::encode_signal(wire::Kind::kHello, {5, 77, 0, 0}, bytes, sizeof bytes), 0,
                outbox);
  RawCanMessage written[3]{};
  written[0].id = 0x1234;
  written[0].length = 1;
  written[0].data[0] = 0xAB;
  written[0].data[5] = 0xEE;
  written[1].id = RAW_CAN_EXTENDED_FLAG | 0x7FFFFFFF;
  written[2].id = 0x7FF;
  written[2].length = 8;
  std::memset(written[2].data, 0x5A, 8);
  device.handle(0, rawcan::testing::endpoint(0x7F000001, 34568), bytes,
                wire::encode_frames({6, 0, 0, 0}, written, 3, bytes, sizeof bytes), 0, outbox);
  device.flush(outbox);
  ASSERT_TRUE(recorder.close());

  ASSERT_EQ(outbox.frames.size(), 3u);
  std::ifstream lines(path);
  std::string line;
  for (const RawCanMessage& heard : outbox.frames) {
    ASSERT_TRUE(std::getline(lines, line));
    LogEntry replayed{};
    ASSERT_EQ(parse_candump_line(line, replayed), LogLine::kFrame) << line;
    EXPECT_EQ(replayed.frame.id, heard.id) << line;
    EXPECT_EQ(replayed.frame.length, heard.length) << line;
    EXPECT_EQ(std::memcmp(replayed.frame.data, heard.data, 8), 0) << line;
  }
  EXPECT_EQ(outbox.frames[0].id, 0x234u);
  EXPECT_EQ(outbox.frames[1].id, RAW_CAN_EXTENDED_FLAG | 0x1FFFFFFF);
}

}  // namespace
}  // namespace zelbor::sim
