// Reading the programs' output back: the reader's listing, one ListedFrame
// per frame line, and the simulated device's totals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "zelbor.h"

namespace rawcan::testing {

struct ListedFrame {
  double seconds;
  uint32_t id;  // with RAW_CAN_EXTENDED_FLAG for an EXT-CAN-ID line, as the library has it
  unsigned bytes[8];
  int byte_count;
};

// One frame line, standard or extended, down to its last byte; false for any
// other line.
inline bool parse_frame_line(const std::string& line, ListedFrame& frame) {
  frame = ListedFrame{};
  char kind[4] = {};
  int used = 0;
  if (std::sscanf(line.c_str(), "%lf  %3[A-Z]-CAN-ID $%X: %n", &frame.seconds, kind, &frame.id,
                  &used) != 3 ||
      used == 0) {
    return false;
  }
  const std::string_view type(kind);
  if (type == "EXT") {
    frame.id |= RAW_CAN_EXTENDED_FLAG;
  } else if (type != "STD") {
    return false;
  }
  const char* cursor = line.c_str() + used;
  int advance = 0;
  while (frame.byte_count < 8 &&
         std::sscanf(cursor, "$%2X %n", &frame.bytes[frame.byte_count], &advance) == 1 &&
         advance > 0) {
    ++frame.byte_count;
    cursor += advance;
    advance = 0;
  }
  return *cursor == '\0';
}

// Whether `listed` shows `frame` (of a length 0 to 8, as on the bus), the
// time aside.
inline bool same_frame(const ListedFrame& listed, const RawCanMessage& frame) {
  if (listed.id != frame.id || listed.byte_count != frame.length) {
    return false;
  }
  for (int i = 0; i < listed.byte_count; ++i) {
    if (listed.bytes[i] != frame.data[i]) {
      return false;
    }
  }
  return true;
}

// The frames of a listing, in order. The first line may be the start line;
// any other line that is not a frame line throws, so that no line goes
// unchecked. A last line without its newline is still being written: it
// waits for the next read.
inline std::vector<ListedFrame> parse_listing(const std::string& text) {
  std::vector<ListedFrame> frames;
  for (std::size_t from = 0, end; (end = text.find('\n', from)) != std::string::npos;
       from = end + 1) {
    const std::string line = text.substr(from, end - from);
    ListedFrame frame{};
    if (parse_frame_line(line, frame)) {
      frames.push_back(frame);
    } else if (from != 0 || line.rfind("Start reading CAN messages on channel ", 0) != 0) {
      throw std::runtime_error("not a line of the listing: \"" + line + "\"");
    }
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
