#include "frame_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "records.h"

namespace rawcan {
namespace {

RawCanMessage frame_of(uint32_t id, int8_t length, std::initializer_list<uint8_t> data,
                       uint32_t time_high, uint32_t time_low) {
  RawCanMessage frame{};
  frame.id = id;
  frame.length = length;
  int i = 0;
  for (const uint8_t byte : data) {
    frame.data[i++] = byte;
  }
  frame.time_high = time_high;
  frame.time_low = time_low;
  return frame;
}

std::string line_of(const RawCanMessage& frame) {
  char buffer[kMaxFrameLineLength];
  return std::string(buffer, format_frame_line(frame, buffer));
}

// The listing as the standard library's formatted printing produces it.
std::string reference_line(const RawCanMessage& frame) {
  char buffer[256];
  const double seconds = frame_seconds(frame);
  int used =
      is_extended(frame)
          ? std::snprintf(buffer, sizeof buffer, "%1.4f  EXT-CAN-ID $%08X: ", seconds,
                          frame.id & 0x7FFFFFFFu)
          : std::snprintf(buffer, sizeof buffer, "%1.4f  STD-CAN-ID $%03X: ", seconds, frame.id);
  for (int i = 0; i < frame.length && i < 8; ++i) {
    used += std::snprintf(buffer + used, sizeof buffer - used, "$%02X ", frame.data[i]);
  }
  used += std::snprintf(buffer + used, sizeof buffer - used, "\n");
  return std::string(buffer, used);
}

TEST(FrameLine, WorkedExamples) {
  struct Case {
    RawCanMessage frame;
    const char* line;
  };
  const Case cases[] = {
      {frame_of(0x3E8, 2, {0x01, 0xFF}, 0, 0x1E848000), "16.0000  STD-CAN-ID $3E8: $01 $FF \n"},
      {frame_of(0x80001ABC, 0, {}, 0, 0), "0.0000  EXT-CAN-ID $00001ABC: \n"},
      {frame_of(0x80000123, 1, {0xAB}, 0, 0), "0.0000  EXT-CAN-ID $00000123: $AB \n"},
      {frame_of(0x00000123, 1, {0xAB}, 0, 0), "0.0000  STD-CAN-ID $123: $AB \n"},
      {frame_of(0x5, 0, {}, 0, 0), "0.0000  STD-CAN-ID $005: \n"},
      {frame_of(0x7FF, 0, {}, 0, 0), "0.0000  STD-CAN-ID $7FF: \n"},
      {frame_of(0x12345, 0, {}, 0, 0), "0.0000  STD-CAN-ID $12345: \n"},
      {frame_of(0xFFFFFFFF, 0, {}, 0, 0), "0.0000  EXT-CAN-ID $7FFFFFFF: \n"},
      {frame_of(0x5, -128, {1, 2}, 0, 0), "0.0000  STD-CAN-ID $005: \n"},  // length byte 0x80
      {frame_of(0x5, -1, {1, 2}, 0, 0), "0.0000  STD-CAN-ID $005: \n"},
      {frame_of(0x5, 8, {0, 1, 2, 3, 4, 5, 6, 0xFF}, 0, 0),
       "0.0000  STD-CAN-ID $005: $00 $01 $02 $03 $04 $05 $06 $FF \n"},
      // A length above 8 prints the 8 bytes the frame holds, nothing past them.
      {frame_of(0x5, 9, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 0),
       "0.0000  STD-CAN-ID $005: $00 $01 $02 $03 $04 $05 $06 $07 \n"},
      {frame_of(0x5, 127, {0, 1, 2, 3, 4, 5, 6, 7}, 0, 0),
       "0.0000  STD-CAN-ID $005: $00 $01 $02 $03 $04 $05 $06 $07 \n"},
      // Time: bits 5 to 36 of the count, in single precision.
      {frame_of(0x1, 0, {}, 1, 0), "134.2177  STD-CAN-ID $001: \n"},
      {frame_of(0x1, 0, {}, 0x20, 0), "0.0000  STD-CAN-ID $001: \n"},
      {frame_of(0x1, 0, {}, 0x1D, 0xCD650C80), "4000.0000  STD-CAN-ID $001: \n"},
      {frame_of(0x1, 0, {}, 0x9, 0x32C05A60), "1234.5680  STD-CAN-ID $001: \n"},
      {frame_of(0x1, 0, {}, 0x1F, 0xFFFFFFFF), "4294.9673  STD-CAN-ID $001: \n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(line_of(c.frame), c.line);
    EXPECT_EQ(reference_line(c.frame), c.line);
  }
}

TEST(FrameLine, LongestLineFitsTheBuffer) {
  const RawCanMessage frame =
      frame_of(0xFFFFFFFF, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x1F, 0xFFFFFFFF);
  EXPECT_EQ(line_of(frame).size(), kMaxFrameLineLength);
}

// Every value that lands exactly halfway between two printed values, and the
// neighbours of each, rounds as printf does (half to even).
TEST(FrameLine, RoundingTiesMatchPrintf) {
  for (uint32_t k = 0; k < (1u << 17); ++k) {
    for (const uint32_t ticks : {k * 31250u, k * 31250u + 1u, k * 31250u - 1u}) {
      const RawCanMessage frame = frame_of(0x1, 0, {}, ticks >> 27, ticks << 5);
      ASSERT_EQ(line_of(frame), reference_line(frame)) << ticks;
    }
  }
}

TEST(FrameLine, RandomFramesMatchPrintfByteForByte) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 300000; ++i) {
    const uint64_t bits = random();
    RawCanMessage frame{};
    store_le32(frame.data, static_cast<uint32_t>(bits));
    store_le32(frame.data + 4, static_cast<uint32_t>(bits >> 32));
    frame.length = static_cast<int8_t>(random() % 20 - 4);
    frame.id = static_cast<uint32_t>(random());
    frame.time_high = static_cast<uint32_t>(random());
    frame.time_low = static_cast<uint32_t>(random());
    ASSERT_EQ(line_of(frame), reference_line(frame)) << frame.time_high << " " << frame.time_low;
  }
}

}  // namespace
}  // namespace rawcan
