// The relay's impairment decisions, apart from its sockets: which datagram is
// lost, duplicated, held back or delayed, and when each one leaves. Time is
// given by the caller and randomness comes from an injected source, so the
// rules run the same on a fake clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <utility>
#include <vector>

namespace zelbor::relay {

enum class Direction : int { kToDevice = 0, kToHost = 1 };

inline constexpr std::size_t kDefaultQueueCapacity = 65536;
inline constexpr std::size_t kDefaultQueueByteCapacity = 64u << 20;
// A held-back datagram waits at most this long for a follower.
inline constexpr int64_t kReorderHoldNs = 10'000'000;

// A fraction-valued uniform draw in [0, 1).
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  virtual double unit() = 0;
};

class SeededRandom final : public RandomSource {
 public:
  explicit SeededRandom(uint64_t seed) : engine_(seed) {}
  // 53 random bits, so a seed gives the same draws on every standard library.
  double unit() override { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }

 private:
  std::mt19937_64 engine_;
};

// Scheduled link outage: [start, start + length) from the relay's start.
struct Outage {
  int64_t start_ns;
  int64_t length_ns;
};

struct Impairments {
  std::array<double, 2> loss{};  // by Direction
  double duplicate = 0;
  double reorder = 0;
  int64_t delay_ns = 0;
  int64_t jitter_ns = 0;
  std::vector<Outage> outages;
  std::size_t queue_capacity = kDefaultQueueCapacity;
  std::size_t queue_byte_capacity = kDefaultQueueByteCapacity;
};

struct DirectionTotals {
  uint64_t forwarded = 0;       // handed to the kernel
  uint64_t lost = 0;            // random loss
  uint64_t lost_in_outage = 0;  // arrived or fell due while the link was down
  uint64_t duplicated = 0;      // datagrams sent a second time
  uint64_t reordered = 0;       // datagrams sent after the one that followed them
  uint64_t overflowed = 0;      // the delay queue was full
  uint64_t send_failed = 0;     // the kernel refused it, or its host was gone
};

// Where a datagram goes: its direction, and the host's flow (one per host and
// channel) it belongs to, as the caller numbers them.
struct Route {
  Direction direction;
  uint64_t flow;
  auto operator<=>(const Route&) const = default;
};

struct Datagram {
  Route route;
  std::vector<uint8_t> bytes;
};

class Impairer {
 public:
  Impairer(Impairments impairments, RandomSource& random, int64_t start_ns);

  // A datagram received now; it leaves through take_due, or is counted lost.
  void offer(Datagram datagram, int64_t now_ns);

  // Appends the datagrams due by now, in sending order.
  void take_due(int64_t now_ns, std::vector<Datagram>& out);

  // The earliest time anything changes: a datagram falls due, a hold ends, or
  // a scheduled outage starts or ends. INT64_MAX if nothing is pending.
  int64_t next_event_ns(int64_t now_ns) const;

  // The link taken down or brought up by hand, apart from scheduled outages.
  void set_forced_down(bool down) { forced_down_ = down; }
  bool link_down(int64_t now_ns) const;
  // The link's state if it changed since the last call (the first call
  // reports a change only if the link starts down).
  std::optional<bool> link_down_change(int64_t now_ns);

  void record_send(Direction direction, bool sent);
  const DirectionTotals& totals(Direction direction) const {
    return totals_[static_cast<int>(direction)];
  }
  // Empties the queue and the holds at the end; returns how many datagrams
  // (copies included) were still waiting.
  uint64_t discard_pending();

 private:
  struct Held {
    Datagram datagram;
    int copies;
    int64_t deadline_ns;
  };

  bool draw(double probability);
  DirectionTotals& totals_for(Direction direction) { return totals_[static_cast<int>(direction)]; }
  bool has_room(std::size_t copies, std::size_t bytes) const;
  // Puts `copies` copies in the delay queue, each due after its own delay.
  void enqueue(Datagram datagram, int copies, int64_t now_ns);

  Impairments impairments_;
  RandomSource& random_;
  int64_t start_ns_;
  bool forced_down_ = false;
  bool reported_down_ = false;
  std::array<DirectionTotals, 2> totals_{};
  // Keyed by due time, then arrival, so equal delays keep arrival order.
  std::map<std::pair<int64_t, uint64_t>, Datagram> queue_;
  std::map<Route, Held> held_;
  uint64_t next_sequence_ = 0;
  std::size_t queued_count_ = 0;  // copies in the queue and in holds
  std::size_t queued_bytes_ = 0;
};

}  // namespace zelbor::relay
