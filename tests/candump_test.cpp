#include "candump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      {"1.0 can0 123#00", LogLine::kMalformed, 0, 0, {}},                    // no parentheses
      {"(1.0) 123#00", LogLine::kMalformed, 0, 0, {}},                       // no interface
      {"(1.0) can0 1234#00", LogLine::kMalformed, 0, 0, {}},                 // 4 hex digits
      {"(1.0) can0 800#00", LogLine::kMalformed, 0, 0, {}},                  // above 11 bits
      {"(1.0) can0 20000000#00", LogLine::kMalformed, 0, 0, {}},             // above 29 bits
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

}  // namespace
}  // namespace zelbor::sim
