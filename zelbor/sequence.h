// Sequence bookkeeping for one sender: gaps, stale datagrams, restarts.
#pragma once

#include <cstdint>

namespace zelbor {

struct SequenceTracker {
  bool have_session;
  uint32_t session;
  uint32_t next;  // the sequence expected next
};

enum class SequenceVerdict {
  kInOrder,
  kFirst,       // the first datagram seen from this sender; `gap` came before it
  kNewSession,  // the sender restarted; `gap` of its new datagrams came before this one
  kAfterGap,    // `gap` datagrams are missing before this one
  kStale,       // older than one already seen: a duplicate or late arrival
};

struct SequenceResult {
  SequenceVerdict verdict;
  uint32_t gap;
};

// Every sender numbers its datagrams to a peer from 0 in each session, so
// datagrams lost before the first one that arrives are counted too.
inline SequenceResult track(SequenceTracker& tracker, uint32_t session, uint32_t sequence) {
  if (!tracker.have_session || tracker.session != session) {
    const bool first = !tracker.have_session;
    tracker = SequenceTracker{true, session, sequence + 1};
    return {first ? SequenceVerdict::kFirst : SequenceVerdict::kNewSession, sequence};
  }
  const auto distance = static_cast<int32_t>(sequence - tracker.next);
  if (distance < 0) {
    return {SequenceVerdict::kStale, 0};
  }
  tracker.next = sequence + 1;
  if (distance == 0) {
    return {SequenceVerdict::kInOrder, 0};
  }
  return {SequenceVerdict::kAfterGap, static_cast<uint32_t>(distance)};
}

// The last few sequence numbers of control records already delivered, so a
// retransmission of one is acknowledged again but not delivered twice.
struct RecentSequences {
  static constexpr int kCapacity = 32;
  uint32_t values[kCapacity];
  int count;
  int next;

  bool contains(uint32_t value) const {
    for (int i = 0; i < count; ++i) {
      if (values[i] == value) {
        return true;
      }
    }
    return false;
  }
  void add(uint32_t value) {
    values[next] = value;
    next = (next + 1) % kCapacity;
    if (count < kCapacity) {
      ++count;
    }
  }
  void clear() { count = next = 0; }
};

}  // namespace zelbor
