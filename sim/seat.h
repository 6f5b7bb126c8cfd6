// Who holds a channel of the simulated device.
//
// Each channel has one seat. The first host to send a datagram takes it. The
// seat is its own: a host that goes silent keeps its seat and its numbering,
// and picks up where it left off when it is heard again. Another endpoint is
// refused, unless the holder has been silent for a minute and the newcomer
// means it (INIT_CAN_CHIP or frames). On the holder's own endpoint, a newer
// run of the program (its HELLO carries when the run started) takes the seat
// at once, and datagrams of older runs are ignored. A seat silent for
// 10 minutes is given up; BYE gives it up at once.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "wire.h"

namespace zelbor::sim {

inline constexpr int64_t kHostTimeoutNs = 3'000'000'000;
inline constexpr int64_t kSeatKeepNs = 600'000'000'000;
inline constexpr int64_t kStrangerWaitNs = 60'000'000'000;
inline constexpr int kRememberedHosts = 8;  // per channel, for hosts whose seat was given up

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b);
// "ip:port"
void describe_endpoint(const sockaddr_in& address, char* text, std::size_t size);

class Seat {
 public:
  enum class Admission {
    kHolder,    // from the holder
    kTakes,     // takes the free seat
    kNewRun,    // a newer run on the holder's endpoint replaces it
    kNewHost,   // another endpoint replaces a holder silent for long
    kIgnored,   // a late datagram of an older run on the holder's endpoint
    kRefused,   // another endpoint, while the holder keeps the seat
    kNoAnswer,  // a BYE or an ACK from no holder: nothing to say goodbye to or acknowledge
  };
  enum class Silence { kHeard, kAway, kGone };

  // What a decoded datagram from `from` means for the seat.
  Admission admit(const sockaddr_in& from, const wire::Datagram& datagram, int64_t now_ns) const;

  // The host of `header` takes the seat; it is present and not yet listening.
  void take(const sockaddr_in& from, const wire::Header& header, int64_t now_ns);
  // The number of the host's frame datagram to take next: where the device
  // took its last one, if it held the seat before and has not restarted;
  // else what the host says (`host_says`).
  uint32_t resume_batch(uint32_t host_says) const;
  // The holder leaves; what it had taken up to `next_batch` is remembered.
  void give_up(uint32_t next_batch, int64_t now_ns);

  // The holder was heard; true if it had been away.
  bool heard(int64_t now_ns);
  void listen() { listening_ = true; }
  // Whether the holder has gone silent for long, or for very long.
  Silence silence(int64_t now_ns) const;
  void go_away() { present_ = false; }

  bool held() const { return held_; }
  bool present() const { return held_ && present_; }
  bool listening() const { return held_ && listening_; }
  const sockaddr_in& host() const { return host_; }
  uint32_t host_session() const { return host_session_; }

 private:
  // What the device keeps of a host whose seat was given up, so that it
  // takes none of its frame datagrams twice when it comes back.
  struct Remembered {
    sockaddr_in host{};
    uint32_t host_session = 0;
    uint32_t next_batch = 0;
    int64_t left_ns = INT64_MIN;
  };
  bool may_take(const wire::Datagram& datagram, int64_t now_ns) const;

  bool held_ = false;
  bool present_ = false;    // heard within kHostTimeoutNs
  bool listening_ = false;  // chip initialised: the host receives the bus
  sockaddr_in host_{};
  uint32_t host_session_ = 0;
  bool run_start_known_ = false;
  uint32_t run_start_ms_ = 0;  // when the holder's run started, by its HELLO
  int64_t last_heard_ns_ = 0;
  Remembered remembered_[kRememberedHosts];
};

}  // namespace zelbor::sim
