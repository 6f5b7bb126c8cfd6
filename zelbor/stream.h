// The receiving side of a numbered stream: where each datagram of one sender
// session falls, what is lost, and when the stream has moved elsewhere.
//
// A datagram carries the number of its first item and how many it holds
// (frames are numbered by frame, control records one each). The stream
// expects `next`; a datagram at `next` is in order, one a little ahead skips
// a gap (lost), anything behind or far ahead is off the stream and dropped.
// Off-stream datagrams that keep continuing each other form a rival run; the
// stream moves to it at once when it is far ahead (a host that was away for
// long), and to one within the last gap, beyond what reordering explains
// (the stream was pushed off by stray numbers), when it has lasted
// kRivalPatienceNs with nothing in order arriving, or clearly outnumbers
// what arrives in order. So no datagram,
// whatever its number, can silence a stream for long, while repeats of what
// the stream already brought never move it back.
#pragma once

#include <cstdint>

namespace zelbor {

inline constexpr int64_t kRivalPatienceNs = 500'000'000;
// A rival run of this many datagrams, with at most a quarter as many in order
// meanwhile, wins the stream.
inline constexpr uint32_t kRivalMajority = 16;

inline bool is_after(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) > 0;
}

class StreamTracker {
 public:
  enum class Place {
    kNext,     // in order
    kAhead,    // after a gap of `lost` numbers
    kBehind,   // a repeat or a late arrival, within the window
    kOutside,  // too far from the stream
    kMoved,    // the stream moved to this datagram's run; `lost` corrects the count
  };
  struct Result {
    Place place;
    int64_t lost;  // numbers newly lost (negative: numbers counted lost that will arrive after all)
  };

  // A gap of up to `reorder_span` numbers is what reordering makes: the
  // stream never moves back into it, as that would bring numbers after ones
  // it already brought; it waits instead.
  StreamTracker(uint32_t window_ahead, uint32_t window_behind, uint32_t reorder_span)
      : window_ahead_(window_ahead), window_behind_(window_behind), reorder_span_(reorder_span) {}
  StreamTracker(uint32_t window_ahead, uint32_t window_behind)
      : StreamTracker(window_ahead, window_behind, window_ahead / 8) {}

  void reset() { *this = StreamTracker(window_ahead_, window_behind_, reorder_span_); }
  uint32_t next() const { return next_; }

  // The sender says its next number is `end` (it sends no more): what lies
  // between is lost. Returns how much; 0 if `end` is not ahead in the window.
  int64_t end_at(uint32_t end) {
    const auto distance = static_cast<int32_t>(end - next_);
    if (distance <= 0 || static_cast<uint32_t>(distance) > window_ahead_) {
      return 0;
    }
    next_ = end;
    return distance;
  }

  Result place(uint32_t first, uint32_t count, int64_t now_ns) {
    const auto distance = static_cast<int32_t>(first - next_);
    if (distance >= 0 && static_cast<uint32_t>(distance) <= window_ahead_) {
      ++in_order_since_rival_;
      next_ = first + count;
      if (distance == 0) {
        return {Place::kNext, 0};
      }
      gap_from_ = first - static_cast<uint32_t>(distance);
      gap_to_ = first;
      return {Place::kAhead, distance};
    }
    if (has_rival_ && first == rival_next_) {
      ++rival_datagrams_;
      rival_next_ = first + count;
    } else if (!has_rival_ || first != rival_last_) {  // a repeat of the run's last keeps the run
      has_rival_ = true;
      rival_datagrams_ = 1;
      in_order_since_rival_ = 0;
      rival_since_ns_ = now_ns;
      rival_next_ = first + count;
    }
    rival_last_ = first;
    const bool far_ahead = distance > 0;
    // Behind, only numbers of the last gap, and far enough from its end
    // that reordering cannot explain them, can be a genuine run that stray
    // numbers pushed off; anything older was brought already, and a run of
    // its repeats must not bring it again.
    const bool in_last_gap =
        is_after(gap_to_, first) && !is_after(gap_from_, first) && gap_to_ - first > reorder_span_;
    const bool patient = in_order_since_rival_ == 0 && now_ns - rival_since_ns_ >= kRivalPatienceNs;
    const bool outnumbering =
        rival_datagrams_ >= kRivalMajority && in_order_since_rival_ * 4 <= rival_datagrams_;
    if (rival_datagrams_ >= 2 && (far_ahead || ((patient || outnumbering) && in_last_gap))) {
      return move_to(first, count);
    }
    const bool behind_in_window =
        distance < 0 && static_cast<uint32_t>(-static_cast<int64_t>(distance)) <= window_behind_;
    return {behind_in_window ? Place::kBehind : Place::kOutside, 0};
  }

 private:
  Result move_to(uint32_t first, uint32_t count) {
    int64_t lost = 0;
    if (is_after(first, next_)) {
      lost = first - next_;
      // Kept, so that moving back from a stray run takes the count back.
      gap_from_ = next_;
      gap_to_ = first;
    } else {
      if (is_after(gap_to_, gap_from_)) {
        // Moving back: numbers of the last gap from here on were counted
        // lost, but the stream will now bring them.
        const uint32_t from = is_after(first, gap_from_) ? first : gap_from_;
        if (is_after(gap_to_, from)) {
          lost = -static_cast<int64_t>(gap_to_ - from);
        }
      }
      gap_from_ = gap_to_ = 0;
    }
    has_rival_ = false;
    next_ = first + count;
    return {Place::kMoved, lost};
  }

  uint32_t window_ahead_;
  uint32_t window_behind_;
  uint32_t reorder_span_;
  uint32_t next_ = 0;  // numbers start at 0 in each session
  uint32_t gap_from_ = 0;
  uint32_t gap_to_ = 0;
  bool has_rival_ = false;
  uint32_t rival_next_ = 0;
  uint32_t rival_last_ = 0;
  uint32_t rival_datagrams_ = 0;
  uint32_t in_order_since_rival_ = 0;
  int64_t rival_since_ns_ = 0;
};

// Which of the last kSpan numbers of a stream were delivered, so a repeated
// control record is acknowledged again but delivered once.
class DeliveredWindow {
 public:
  static constexpr uint32_t kSpan = 1024;

  void reset(uint32_t end) {
    end_ = end;
    for (uint64_t& word : bits_) {
      word = 0;
    }
  }
  // Moves the end forward; the numbers passed over start undelivered.
  void advance(uint32_t end) {
    if (!is_after(end, end_)) {
      return;  // never back: the numbers behind stay as they were
    }
    const uint32_t step = end - end_;
    if (step >= kSpan) {
      reset(end);
      return;
    }
    for (; end_ != end; ++end_) {
      bits_[end_ % kSpan / 64] &= ~(uint64_t{1} << (end_ % 64));
    }
  }
  bool covers(uint32_t number) const {
    const uint32_t age = end_ - number;
    return age >= 1 && age <= kSpan;
  }
  bool delivered(uint32_t number) const {
    return (bits_[number % kSpan / 64] >> (number % 64) & 1) != 0;
  }
  void mark(uint32_t number) { bits_[number % kSpan / 64] |= uint64_t{1} << (number % 64); }

 private:
  uint32_t end_ = 0;
  uint64_t bits_[kSpan / 64] = {};
};

}  // namespace zelbor
