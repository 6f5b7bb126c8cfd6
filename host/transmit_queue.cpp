#include "transmit_queue.h"

#include <algorithm>

namespace rawcan::host {
namespace {

// True if write `later` comes after write `earlier`, modulo 2^32.
bool is_after(uint32_t later, uint32_t earlier) {
  const uint32_t distance = later - earlier;
  return distance != 0 && distance < 0x80000000u;
}

}  // namespace

bool TransmitQueue::push(const RawCanMessage& frame) {
  return frames_.push_back(frame);
}

int TransmitQueue::unanswered_after_room() const {
  int frames = 0;
  for (std::size_t i = 0; i < flights_.size(); ++i) {
    const Flight& flight = flights_[i];
    if (flight.taken < 0 && is_after(flight.batch, last_batch_)) {
      frames += flight.count;
    }
  }
  return frames;
}

int TransmitQueue::next_write(int64_t now_ns, RawCanMessage* out) {
  const std::size_t waiting = frames_.size() - static_cast<std::size_t>(in_flight_);
  if (waiting == 0 || now_ns < retry_at_ns_) {
    return 0;
  }
  int count = static_cast<int>(std::min<std::size_t>(waiting, kMaxWrite));
  if (!room_) {
    if (!flights_.empty()) {
      return 0;
    }
  } else {
    if (flights_.full()) {
      return 0;
    }
    const int credit = *room_ - unanswered_after_room();
    // A little room with more waiting: the ROOM record will say when half is free.
    if (credit < std::min(threshold_, count) &&
        (!flights_.empty() || now_ns < retry_at_ns_ + kRoomFallbackNs)) {
      return 0;
    }
    count = std::max(1, std::min(count, credit));
  }
  for (int i = 0; i < count; ++i) {
    out[i] = frames_[static_cast<std::size_t>(in_flight_ + i)];
  }
  flights_.push_back({next_batch_++, count, -1, now_ns});
  in_flight_ += count;
  return count;
}

void TransmitQueue::unwritten() {
  if (!flights_.empty()) {
    in_flight_ -= flights_.back().count;
    flights_.pop_back();
    --next_batch_;
  }
}

int TransmitQueue::report(int taken, int64_t now_ns, std::optional<int> room,
                          std::optional<uint32_t> batch, TakenFrames* taken_frames) {
  Flight* flight = nullptr;
  for (std::size_t i = 0; i < flights_.size() && flight == nullptr; ++i) {
    if (flights_[i].taken < 0 && (!batch || flights_[i].batch == *batch)) {
      flight = &flights_[i];
    }
  }
  if (flight == nullptr) {
    return 0;  // a report of no write of ours
  }
  flight->taken = std::clamp(taken, 0, flight->count);
  if (room && batch && !is_after(last_batch_, *batch)) {
    // Room only grows between two reports of one write: keep the later word.
    room_ = room_ && *batch == last_batch_ ? std::max(*room_, *room) : *room;
    last_batch_ = *batch;
  }
  return settle(now_ns, taken_frames);
}

int TransmitQueue::settle(int64_t now_ns, TakenFrames* taken_frames) {
  int taken_now = 0;
  while (!flights_.empty() && flights_.front().taken >= 0) {
    const Flight done = flights_.front();
    flights_.pop_front();
    in_flight_ -= done.count;
    for (int i = 0; taken_frames != nullptr && i < done.taken; ++i) {
      taken_frames->emplace_back(frames_[static_cast<std::size_t>(i)], done.since_ns);
    }
    frames_.drop_front(static_cast<std::size_t>(done.taken));
    taken_now += done.taken;
    frames_taken_ += static_cast<uint64_t>(done.taken);
    const int rest = done.count - done.taken;
    if (rest == 0) {
      retry_at_ns_ = room_ ? now_ns : 0;
    } else if (!flights_.empty()) {
      // Later writes are out: the rest would reach the bus after them.
      frames_.drop_front(static_cast<std::size_t>(rest));
      frames_given_up_ += static_cast<uint64_t>(rest);
    } else {
      // The device's queue was full: the rest, now at the head, goes again first.
      frames_sent_again_ += static_cast<uint64_t>(rest);
      if (!room_) {
        pause_ns_ = done.taken < kFewTaken ? std::min(pause_ns_ * 2, kLongestPauseNs)
                                           : std::max(pause_ns_ / 2, kFirstPauseNs);
      }
      retry_at_ns_ = now_ns + (room_ ? 0 : pause_ns_);
    }
  }
  return taken_now;
}

void TransmitQueue::room_report(int room, int capacity, uint32_t batch) {
  threshold_ = room_threshold(capacity);
  if (room_ && is_after(last_batch_, batch)) {
    return;  // older than what is known
  }
  room_ = room_ && batch == last_batch_ ? std::max(*room_, room) : room;
  last_batch_ = batch;
}

int TransmitQueue::abandon_flight(int64_t now_ns, TakenFrames* taken_frames) {
  int given_up = 0;
  while (!flights_.empty()) {
    Flight& oldest = flights_.front();
    if (oldest.taken < 0) {
      // Unreported: whether the device took it cannot be known now.
      in_flight_ -= oldest.count;
      frames_.drop_front(static_cast<std::size_t>(oldest.count));
      given_up += oldest.count;
      flights_.pop_front();
      continue;
    }
    settle(now_ns, taken_frames);  // reported behind an unreported one: taken
  }
  return given_up;
}

std::size_t TransmitQueue::discard_unwritten() {
  const std::size_t unwritten = frames_.size() - static_cast<std::size_t>(in_flight_);
  frames_.drop_back(unwritten);  // behind the writes in flight
  return unwritten;
}

std::optional<int64_t> TransmitQueue::wake_at_ns() const {
  const std::size_t waiting = frames_.size() - static_cast<std::size_t>(in_flight_);
  if (waiting == 0) {
    return std::nullopt;
  }
  if (!room_) {
    return flights_.empty() ? std::optional<int64_t>(retry_at_ns_) : std::nullopt;
  }
  const int count = static_cast<int>(std::min<std::size_t>(waiting, kMaxWrite));
  if (*room_ - unanswered_after_room() < std::min(threshold_, count)) {
    return flights_.empty() ? std::optional<int64_t>(retry_at_ns_ + kRoomFallbackNs) : std::nullopt;
  }
  return flights_.full() ? std::nullopt : std::optional<int64_t>(retry_at_ns_);
}

}  // namespace rawcan::host
