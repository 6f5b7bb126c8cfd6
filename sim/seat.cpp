#include "seat.h"

#include <arpa/inet.h>

#include <cstdio>

#include "stream.h"

namespace zelbor::sim {

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void describe_endpoint(const sockaddr_in& address, char* text, std::size_t size) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  std::snprintf(text, size, "%s:%u", ip, static_cast<unsigned>(ntohs(address.sin_port)));
}

Seat::Admission Seat::admit(const sockaddr_in& from, const wire::Datagram& datagram,
                            int64_t now_ns) const {
  const wire::Header& header = datagram.header;
  const bool on_holders_endpoint = held_ && same_endpoint(host_, from);
  if (on_holders_endpoint && host_session_ == header.envelope.session) {
    return Admission::kHolder;
  }
  if (header.kind == wire::Kind::kBye || header.kind == wire::Kind::kAck) {
    return Admission::kNoAnswer;
  }
  if (on_holders_endpoint) {
    // Only the HELLO of a newer run takes the seat, so nothing late from a
    // run before can.
    if (header.kind != wire::Kind::kHello ||
        (run_start_known_ && is_after(run_start_ms_, header.envelope.sequence))) {
      return Admission::kIgnored;
    }
    return Admission::kNewRun;
  }
  if (!held_) {
    return Admission::kTakes;
  }
  return may_take(datagram, now_ns) ? Admission::kNewHost : Admission::kRefused;
}

// A stranger takes the seat only from a holder silent for a minute, and only
// with a datagram that shows a program means to use the channel, so neither
// a paused holder nor a stray datagram loses it.
bool Seat::may_take(const wire::Datagram& datagram, int64_t now_ns) const {
  if (present_ || now_ns - last_heard_ns_ < kStrangerWaitNs) {
    return false;
  }
  if (datagram.header.kind == wire::Kind::kFrames) {
    return true;
  }
  if (datagram.header.kind != wire::Kind::kControl) {
    return false;
  }
  CtrlMessage record{};
  wire::control_record(datagram, record);
  return record.type == INIT_CAN_CHIP;
}

void Seat::take(const sockaddr_in& from, const wire::Header& header, int64_t now_ns) {
  held_ = true;
  present_ = true;
  listening_ = false;
  host_ = from;
  host_session_ = header.envelope.session;
  run_start_known_ = header.kind == wire::Kind::kHello;
  run_start_ms_ = header.envelope.sequence;
  last_heard_ns_ = now_ns;
}

uint32_t Seat::resume_batch(uint32_t host_says) const {
  // The newest memory of this run, if it left more than once.
  const Remembered* newest = nullptr;
  for (const Remembered& host : remembered_) {
    if (host.host_session == host_session_ && same_endpoint(host.host, host_) &&
        host.left_ns != INT64_MIN && (newest == nullptr || host.left_ns > newest->left_ns)) {
      newest = &host;
    }
  }
  return newest != nullptr ? newest->next_batch : host_says;
}

void Seat::give_up(uint32_t next_batch, int64_t now_ns) {
  Remembered* slot = &remembered_[0];
  for (Remembered& host : remembered_) {
    if (host.left_ns < slot->left_ns) {
      slot = &host;
    }
  }
  *slot = Remembered{host_, host_session_, next_batch, now_ns};
  held_ = false;
  present_ = false;
  listening_ = false;
}

bool Seat::heard(int64_t now_ns) {
  last_heard_ns_ = now_ns;
  const bool was_away = !present_;
  present_ = true;
  return was_away;
}

Seat::Silence Seat::silence(int64_t now_ns) const {
  if (!present_) {
    return now_ns - last_heard_ns_ > kSeatKeepNs ? Silence::kGone : Silence::kAway;
  }
  return now_ns - last_heard_ns_ > kHostTimeoutNs ? Silence::kAway : Silence::kHeard;
}

}  // namespace zelbor::sim
