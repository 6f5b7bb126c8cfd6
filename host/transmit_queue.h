// Frames the program queued and the device has not yet taken, and when to
// write them: no socket, no clock, no library; the host driver feeds it the
// device's reports and the time.
//
// The device answers each write with a MESSAGE_COUNT report: how many of the
// frames its transmit queue took. The rest were dropped, so they go again,
// before any later frame.
//
// With MESSAGE_COUNT alone (the maker's device), at most one write is
// unanswered, so the next report is always that write's and nothing written
// later can overtake frames the device has yet to take; a short count means
// the device's queue is full, and the rest goes again after a pause that
// adapts until a retry takes a handful of frames.
//
// The stand-in device also reports the room its queue has, and which write a
// report answers (in each report, and in a ROOM record once the queue drained
// to half). Then several writes may be unanswered, as long as together they
// fit the room last reported: the device drops nothing, and a long round trip
// does not leave the bus idle. Writes are numbered from 0, one datagram each,
// as the library numbers them. Should a report all the same count short
// while later writes are out, the rest is given up and counted, never sent
// after frames that followed it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "ring.h"
#include "zelbor.h"

namespace rawcan::host {

inline constexpr int kMaxWrite = 50;  // frames per write: one datagram
inline constexpr int64_t kFirstPauseNs = 1'000'000;
inline constexpr int64_t kLongestPauseNs = 16'000'000;
inline constexpr int kFewTaken = 8;                        // a retry taking fewer waited too little
inline constexpr int64_t kRoomFallbackNs = 1'000'000'000;  // no ROOM record: write all the same
inline constexpr std::size_t kMaxFlights = 16;  // writes unanswered; the library holds 32

// The room at which the device sends a ROOM record after a low report.
inline int room_threshold(int capacity) {
  const int half = capacity / 2 < 1 ? 1 : capacity / 2;
  return half < kMaxWrite ? half : kMaxWrite;
}

class TransmitQueue {
 public:
  // Holds up to `capacity` frames, at least 1, allocated here once.
  explicit TransmitQueue(std::size_t capacity) : frames_(capacity) {}

  std::size_t size() const { return frames_.size(); }
  std::size_t capacity() const { return frames_.capacity(); }
  bool full() const { return frames_.full(); }
  // Frames written and not yet answered, and since when the oldest waits.
  int in_flight() const { return in_flight_; }
  int64_t flight_since_ns() const { return flights_.empty() ? 0 : flights_.front().since_ns; }

  // False, and nothing taken, when full.
  bool push(const RawCanMessage& frame);

  // The frames to write now, at most kMaxWrite, copied to `out`, and marked
  // in flight; 0 if none may go.
  int next_write(int64_t now_ns, RawCanMessage* out);
  // The last write was refused: its frames wait again.
  void unwritten();
  // The device's report of a write (the oldest unanswered, or the one
  // `batch` names); returns the frames taken, now off the queue. With
  // `taken_frames`, appends each taken frame and when its write went.
  using TakenFrames = std::vector<std::pair<RawCanMessage, int64_t>>;
  int report(int taken, int64_t now_ns, std::optional<int> room = std::nullopt,
             std::optional<uint32_t> batch = std::nullopt, TakenFrames* taken_frames = nullptr);
  // A ROOM record: `room` free after the device took write `batch`.
  void room_report(int room, int capacity, uint32_t batch);
  // A new session of the device: its queue is new, and room reports are off.
  void forget_room() { room_.reset(); }
  // Gives up the writes in flight whose reports will not come; those
  // reported behind them count as taken (into `taken_frames`, if given).
  // Returns the frames given up.
  int abandon_flight(int64_t now_ns = 0, TakenFrames* taken_frames = nullptr);
  // Drops the frames not yet written; returns how many.
  std::size_t discard_unwritten();
  // Frames given up after a short count that later writes had overtaken.
  uint64_t frames_given_up() const { return frames_given_up_; }
  // When a write may go although nothing arrives; nullopt if only a report or
  // a ROOM record can let one go, or nothing waits.
  std::optional<int64_t> wake_at_ns() const;

  uint64_t frames_taken() const { return frames_taken_; }
  uint64_t frames_sent_again() const { return frames_sent_again_; }

 private:
  struct Flight {
    uint32_t batch;
    int count;
    int taken;  // -1 until reported
    int64_t since_ns;
  };
  // Frames written after the write the room was last reported for.
  int unanswered_after_room() const;

  // Settles the reported writes at the front; returns the frames taken.
  int settle(int64_t now_ns, TakenFrames* taken_frames);

  Ring<RawCanMessage> frames_;  // oldest first
  // The writes in flight, oldest first: their frames are the first
  // in_flight_ at the head, in the same order.
  Ring<Flight, kMaxFlights> flights_;
  int in_flight_ = 0;
  uint32_t next_batch_ = 0;
  int64_t retry_at_ns_ = 0;
  int64_t pause_ns_ = kFirstPauseNs;
  std::optional<int> room_;
  int threshold_ = kMaxWrite;
  uint32_t last_batch_ = 0xFFFFFFFFu;
  uint64_t frames_taken_ = 0;
  uint64_t frames_sent_again_ = 0;
  uint64_t frames_given_up_ = 0;
};

}  // namespace rawcan::host
