// Reading the programs' output back: the reader's listing, one ListedFrame
// per frame line, and the simulated device's totals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace rawcan::testing {

struct ListedFrame {
  double seconds;
  unsigned id;
  unsigned bytes[8];
  int byte_count;
};

inline std::vector<ListedFrame> parse_listing(const std::string& text) {
  std::vector<ListedFrame> frames;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    ListedFrame frame{};
    int used = 0;
    if (std::sscanf(line.c_str(), "%lf  STD-CAN-ID $%X: %n", &frame.seconds, &frame.id, &used) <
        2) {
      continue;
    }
    const char* cursor = line.c_str() + used;
    int advance = 0;
    while (frame.byte_count < 8 &&
           std::sscanf(cursor, "$%2X %n", &frame.bytes[frame.byte_count], &advance) == 1) {
      ++frame.byte_count;
      cursor += advance;
    }
    frames.push_back(frame);
  }
  return frames;
}

// The writer's batch counter, which its frames carry in their first four bytes.
inline uint32_t counter_of(const ListedFrame& frame) {
  return frame.bytes[0] | frame.bytes[1] << 8 | frame.bytes[2] << 16 | frame.bytes[3] << 24;
}

// The batch counters in listing order, one per batch (from its frame 0x3E8).
inline std::vector<uint32_t> batch_counters(const std::string& text) {
  std::vector<uint32_t> counters;
  for (const ListedFrame& frame : parse_listing(text)) {
    if (frame.id == 0x3E8) {
      counters.push_back(counter_of(frame));
    }
  }
  return counters;
}

// What is wrong with `frames` as the writer's batches from the first on:
// whole batches of 50, ids 0x3E8 up, counter i in batch i, device times that
// never go back; empty if nothing is.
inline std::string writer_batch_fault(const std::vector<ListedFrame>& frames) {
  if (frames.size() % 50 != 0) {
    return "batches do not arrive whole";
  }
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const ListedFrame& frame = frames[i];
    const uint32_t counter = counter_of(frame);
    const std::string at = " at frame " + std::to_string(i);
    if (frame.id != 0x3E8u + i % 50 || frame.byte_count != 8 ||
        (frame.bytes[4] | frame.bytes[5] | frame.bytes[6] | frame.bytes[7]) != 0) {
      return "not the writer's frame" + at;
    }
    if (counter != i / 50) {
      return "batch counters are not consecutive from 0" + at;
    }
    if (i > 0 && frame.seconds < frames[i - 1].seconds) {
      return "device times go back" + at;
    }
  }
  return "";
}

// One channel's line of the simulated device's totals; `found` false if it
// has none.
struct ChannelTotals {
  bool found;
  unsigned long long frames_in, frames_out, dropped, datagrams_dropped;
};

inline ChannelTotals channel_totals(const std::string& totals, int channel) {
  ChannelTotals line{};
  const std::string head = "channel " + std::to_string(channel) + ": frames in ";
  const std::size_t at = totals.find(head);
  line.found =
      at != std::string::npos &&
      std::sscanf(totals.c_str() + at + head.size(),
                  "%llu, frames out %llu, dropped %llu (datagrams dropped %llu)", &line.frames_in,
                  &line.frames_out, &line.dropped, &line.datagrams_dropped) == 4;
  return line;
}

}  // namespace rawcan::testing
