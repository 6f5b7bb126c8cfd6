#include "sim_device.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "link_core.h"
#include "stream.h"

namespace zelbor::sim {
namespace {

// The host delivers each control record once only while it remembers having
// delivered it, and takes a record only within its window ahead: every record
// the device may still repeat, or send while older ones wait, must fit both.
static_assert(kControlWindow <= DeliveredWindow::kSpan);
static_assert(kControlWindow <= kControlWindowAhead);

constexpr int64_t kNsPerMinute = 60'000'000'000;
static_assert(kSeatKeepNs % kNsPerMinute == 0, "the event below names whole minutes");

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void describe_endpoint(const sockaddr_in& address, char* text, std::size_t size) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  std::snprintf(text, size, "%s:%u", ip, static_cast<unsigned>(ntohs(address.sin_port)));
}

}  // namespace

SimDevice::SimDevice(int channels, double drop_fraction, uint64_t seed, int64_t start_ns,
                     std::FILE* events, BusSettings bus)
    : channels_(static_cast<std::size_t>(channels)),
      drop_fraction_(drop_fraction),
      random_state_(seed == 0 ? 0x9E3779B97F4A7C15ULL : seed),
      start_ns_(start_ns),
      events_(events),
      bus_(bus.bitrate),
      tx_queue_(bus.tx_queue) {
  for (int channel = 0; channel < channels; ++channel) {
    channels_[static_cast<std::size_t>(channel)].unacked.resize(kControlWindow);
    bus_.add_node(tx_queue_);
    node_names_.push_back("channel " + std::to_string(channel));
  }
}

int SimDevice::add_source(std::string name) {
  node_names_.push_back(std::move(name));
  return bus_.add_node(tx_queue_);
}

bool SimDevice::offer(int node, const RawCanMessage& frame, int64_t now_ns) {
  return bus_.offer(node, as_sent_on_the_wire(frame), now_ns);
}

void SimDevice::advance(int64_t now_ns, Outbox& outbox) {
  bus_.run_until(now_ns, [&](int node, const RawCanMessage& frame, int64_t end_of_frame_ns) {
    pass_frame(node < channels() ? node : -1, frame, end_of_frame_ns, outbox);
  });
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (state.held && state.room_low && room(channel) >= room_threshold()) {
      state.room_low = false;
      send_room(channel, now_ns, outbox);
    }
  }
}

uint16_t SimDevice::room(int channel) const {
  const std::size_t queued = bus_.queued(channel);
  const std::size_t left = tx_queue_ > queued ? tx_queue_ - queued : 0;
  return static_cast<uint16_t>(left < 0xFFFF ? left : 0xFFFF);
}

// Low enough that a report is worth a datagram, and reachable by any queue.
uint16_t SimDevice::room_threshold() const {
  const std::size_t half = tx_queue_ / 2;
  return static_cast<uint16_t>(half < 1 ? 1 : (half > 50 ? 50 : half));
}

void SimDevice::send_room(int channel, int64_t now_ns, Outbox& outbox) {
  const std::size_t capacity = tx_queue_ < 0xFFFF ? tx_queue_ : 0xFFFF;
  const CtrlMessage record = rawcan::queue_record(
      wire::kRoomRecordType,
      {room(channel), static_cast<uint16_t>(capacity), channels_[channel].next_batch - 1});
  send_control(channel, record.type, record.data, record.length, now_ns, outbox);
}

uint64_t SimDevice::time_count(int64_t now_ns) const {
  const auto elapsed = static_cast<uint64_t>(now_ns > start_ns_ ? now_ns - start_ns_ : 0);
  return elapsed / 1000 * 32 + elapsed % 1000 * 32 / 1000;
}

// xorshift64*: cheap and good enough for sessions and fault injection
uint64_t SimDevice::next_random() {
  random_state_ ^= random_state_ >> 12;
  random_state_ ^= random_state_ << 25;
  random_state_ ^= random_state_ >> 27;
  return random_state_ * 0x2545F4914F6CDD1DULL;
}

bool SimDevice::should_drop() {
  return drop_fraction_ > 0.0 &&
         static_cast<double>(next_random() >> 11) * 0x1.0p-53 < drop_fraction_;
}

// At most kEventsPerSecond lines a second and channel, so no stream of
// datagrams floods the output; the rest are counted in the next line shown.
void SimDevice::event(int channel, const sockaddr_in& host, const char* what, int64_t now_ns) {
  if (events_ == nullptr) {
    return;
  }
  Channel& state = channels_[channel];
  if (now_ns - state.events_second_ns >= 1'000'000'000) {
    state.events_second_ns = now_ns;
    state.events_this_second = 0;
  }
  if (state.events_this_second++ >= kEventsPerSecond) {
    ++state.events_not_shown;
    return;
  }
  char endpoint[64];
  describe_endpoint(host, endpoint, sizeof endpoint);
  if (state.events_not_shown != 0) {
    std::fprintf(events_, "channel %d: %llu more events not shown\n", channel,
                 static_cast<unsigned long long>(state.events_not_shown));
    state.events_not_shown = 0;
  }
  std::fprintf(events_, "channel %d: host %s %s\n", channel, endpoint, what);
  std::fflush(events_);
}

wire::Envelope SimDevice::envelope(const Channel& state, uint32_t sequence) const {
  return {state.session, state.host_session, sequence, state.next_batch};
}

bool SimDevice::transmit(int channel, const uint8_t* bytes, std::size_t size, uint64_t frames,
                         Outbox& outbox) {
  Channel& state = channels_[channel];
  if (should_drop() || !outbox.send(channel, state.host, bytes, size)) {
    state.stats.dropped += frames;
    ++state.stats.datagrams_dropped;
    return false;
  }
  state.stats.frames_out += frames;
  return true;
}

void SimDevice::send_ack(int channel, uint16_t acked_type, uint32_t acked_number, Outbox& outbox) {
  uint8_t ack[wire::kHeaderSize + wire::kControlHeaderSize + wire::kAckRecordLength];
  const std::size_t size =
      wire::encode_ack(envelope(channels_[channel], 0), acked_type, acked_number, ack, sizeof ack);
  transmit(channel, ack, size, 0, outbox);
}

void SimDevice::join(int channel, const sockaddr_in& from, const wire::Header& header,
                     int64_t now_ns, Outbox& outbox) {
  Channel& state = channels_[channel];
  state.held = true;
  state.present = true;
  state.listening = false;
  state.host = from;
  state.host_session = header.envelope.session;
  state.run_start_known = header.kind == wire::Kind::kHello;
  state.run_start_ms = header.envelope.sequence;
  do {
    state.session = static_cast<uint32_t>(next_random() >> 32);
  } while (state.session == 0);
  state.last_heard_ns = now_ns;
  state.next_frame = 0;
  state.next_control = 0;
  state.oldest_unacked = 0;
  state.waiting_count = 0;
  state.dropped_while_away = 0;
  state.room_reports = false;
  state.room_low = false;
  // The host's oldest frame datagram not yet taken: after a device restart
  // the host goes on numbering where it was. A host whose seat was given up
  // goes on where the device knows it took its last one.
  state.next_batch = header.envelope.ack;
  for (const Remembered& host : state.remembered) {
    if (host.host_session == state.host_session && same_endpoint(host.host, from) &&
        host.left_ns != INT64_MIN) {
      state.next_batch = host.next_batch;
    }
  }
  event(channel, from, "joined", now_ns);
  if (header.envelope.peer != 0) {
    // The host knew an earlier session of the device, so its chip was
    // initialised: it listens at once and hears that the device is back,
    // so a program waiting for a control record goes on.
    start_listening(channel, now_ns);
    send_control(channel, wire::kReadyRecordType, nullptr, 0, now_ns, outbox);
  }
}

void SimDevice::start_listening(int channel, int64_t now_ns) {
  channels_[channel].listening = true;
  if (!anyone_listening_) {
    anyone_listening_ = true;
    first_listen_ns_ = now_ns;
  }
}

void SimDevice::leave(int channel, const char* why, int64_t now_ns) {
  Channel& state = channels_[channel];
  if (!state.held) {
    return;
  }
  Remembered* slot = &state.remembered[0];
  for (Remembered& host : state.remembered) {
    if (host.left_ns < slot->left_ns) {
      slot = &host;
    }
  }
  *slot = Remembered{state.host, state.host_session, state.next_batch, now_ns};
  state.held = false;
  state.present = false;
  state.listening = false;
  state.stats.dropped += state.pending_count;
  state.pending_count = 0;
  state.stats.controls_dropped += state.waiting_count;
  for (Unacked& entry : state.unacked) {
    entry.waiting = false;
  }
  state.waiting_count = 0;
  char text[96];
  std::snprintf(text, sizeof text, "left (%s)", why);
  event(channel, state.host, text, now_ns);
}

void SimDevice::refuse(int channel, const sockaddr_in& from, const wire::Header& header,
                       int64_t now_ns, Outbox& outbox) {
  Channel& state = channels_[channel];
  ++state.stats.refused;
  // At most one answer per datagram and a bounded rate, so a flood gains nothing.
  if (now_ns - state.last_refusal_ns >= kRefusalSpacingNs) {
    state.last_refusal_ns = now_ns;
    uint8_t bytes[wire::kHeaderSize];
    const std::size_t size = wire::encode_signal(
        wire::Kind::kRefused, {0, header.envelope.session, 0, 0}, bytes, sizeof bytes);
    outbox.send(channel, from, bytes, size);
  }
  if (now_ns - state.last_refusal_event_ns >= 1'000'000'000) {
    state.last_refusal_event_ns = now_ns;
    char holder[64];
    describe_endpoint(state.host, holder, sizeof holder);
    char text[96];
    std::snprintf(text, sizeof text, "refused (channel held by %s)", holder);
    event(channel, from, text, now_ns);
  }
}

void SimDevice::send_control(int channel, uint16_t type, const uint8_t* data, uint16_t length,
                             int64_t now_ns, Outbox& outbox) {
  Channel& state = channels_[channel];
  const uint32_t number = state.next_control++;
  if (number - state.oldest_unacked >= kControlWindow) {
    Unacked& oldest = state.unacked[state.oldest_unacked % kControlWindow];
    if (oldest.waiting) {
      oldest.waiting = false;
      --state.waiting_count;
      ++state.stats.controls_dropped;
    }
    ++state.oldest_unacked;
  }
  CtrlMessage record{};
  record.type = type;
  record.length = length;
  if (length != 0) {
    std::memcpy(record.data, data, length);
  }
  Unacked& entry = state.unacked[number % kControlWindow];
  entry.waiting = true;
  entry.next_try_ns = now_ns + kControlRetryNs;
  entry.size = wire::encode_control(wire::Kind::kControl, envelope(state, number), record,
                                    entry.bytes, sizeof entry.bytes);
  ++state.waiting_count;
  transmit(channel, entry.bytes, entry.size, 0, outbox);
}

void SimDevice::acknowledged(int channel, uint32_t number) {
  Channel& state = channels_[channel];
  if (number - state.oldest_unacked >= state.next_control - state.oldest_unacked) {
    return;  // not a record in flight
  }
  Unacked& entry = state.unacked[number % kControlWindow];
  if (entry.waiting) {
    entry.waiting = false;
    --state.waiting_count;
  }
  while (state.oldest_unacked != state.next_control &&
         !state.unacked[state.oldest_unacked % kControlWindow].waiting) {
    ++state.oldest_unacked;
  }
}

void SimDevice::flush_channel(int channel, Outbox& outbox) {
  Channel& state = channels_[channel];
  if (state.pending_count == 0) {
    return;
  }
  uint8_t datagram[wire::kMaxDatagram];
  const std::size_t size = wire::encode_frames(envelope(state, state.next_frame), state.pending,
                                               state.pending_count, datagram, sizeof datagram);
  state.next_frame += static_cast<uint32_t>(state.pending_count);
  transmit(channel, datagram, size, state.pending_count, outbox);
  state.pending_count = 0;
}

void SimDevice::flush(Outbox& outbox) {
  for (int channel = 0; channel < channels(); ++channel) {
    flush_channel(channel, outbox);
  }
}

void SimDevice::pass_frame(int from_channel, RawCanMessage frame, int64_t end_of_frame_ns,
                           Outbox& outbox) {
  if (observer_ != nullptr) {
    observer_->on_bus(from_channel, frame, end_of_frame_ns);
  }
  if (record_ != nullptr && record_error_ == 0) {
    char line[kMaxCandumpLine];
    const int64_t wall_us = (end_of_frame_ns + realtime_offset_ns_) / 1000;
    const std::size_t size =
        format_candump_line(wall_us, from_channel < 0 ? 0 : from_channel, frame, line);
    errno = 0;
    if (std::fwrite(line, 1, size, record_) != size) {
      record_error_ = errno != 0 ? errno : EIO;
    }
  }
  const uint64_t stamp = time_count(end_of_frame_ns);
  frame.time_high = static_cast<uint32_t>(stamp >> 32);
  frame.time_low = static_cast<uint32_t>(stamp);
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (channel == from_channel || !state.held || !state.listening) {
      continue;
    }
    if (!state.present) {
      // Numbered all the same, so the host counts what it missed.
      ++state.next_frame;
      ++state.stats.dropped;
      ++state.dropped_while_away;
      continue;
    }
    state.pending[state.pending_count++] = frame;
    if (state.pending_count == wire::kMaxFramesPerDatagram) {
      flush_channel(channel, outbox);
    }
  }
}

void SimDevice::set_recorder(std::FILE* file, int64_t realtime_offset_ns) {
  record_ = file;
  realtime_offset_ns_ = realtime_offset_ns;
}

// A stranger takes the seat only from a holder silent for a minute, and only
// with a datagram that shows a program means to use the channel, so neither
// a paused holder nor a stray datagram loses it.
bool SimDevice::may_take_seat(const Channel& state, const wire::Datagram& datagram,
                              int64_t now_ns) const {
  if (state.present || now_ns - state.last_heard_ns < kStrangerWaitNs) {
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

// The host's frame datagrams go on the bus exactly once and in order: the
// next one is taken and answered with its MESSAGE_COUNT; a repeat or one
// after a gap is answered with an ack naming the next one taken, so the
// host sends again from there. Only datagrams that name the device's
// current session are taken.
void SimDevice::take_frames(int channel, const wire::Datagram& datagram, int64_t now_ns,
                            Outbox& outbox) {
  Channel& state = channels_[channel];
  const wire::Header& header = datagram.header;
  if (header.envelope.peer != state.session && header.envelope.peer != 0) {
    // Sent while the host knew an earlier session: it may be a late copy of
    // a batch that the device put on the bus before it restarted. The ack
    // names the session, and the host's next resend names it too.
    send_ack(channel, wire::kFramesAckedType, header.envelope.sequence, outbox);
    return;
  }
  if (is_after(header.envelope.ack, state.next_batch)) {
    // The host holds nothing before its ack: an earlier session took it.
    state.next_batch = header.envelope.ack;
  }
  if (header.envelope.sequence != state.next_batch) {
    if (!is_after(header.envelope.sequence, state.next_batch)) {
      ++state.stats.repeats;
    }
    send_ack(channel, wire::kFramesAckedType, header.envelope.sequence, outbox);
    return;
  }
  ++state.next_batch;
  // The count reports how many frames the channel's transmit queue took;
  // the rest are dropped, counted by the bus.
  uint16_t taken = 0;
  for (std::size_t i = 0; i < header.count; ++i) {
    RawCanMessage frame{};
    wire::frame_at(datagram, i, frame);
    taken += offer(channel, frame, now_ns) ? 1 : 0;
  }
  state.stats.frames_in += taken;
  advance(now_ns, outbox);  // the room is what the queue has left at this moment
  const uint16_t left = room(channel);
  const CtrlMessage count =
      rawcan::queue_record(MESSAGE_COUNT, {taken, left, header.envelope.sequence});
  send_control(channel, count.type, count.data, count.length, now_ns, outbox);
  state.room_low = state.room_low || (state.room_reports && left < room_threshold());
}

void SimDevice::handle(int channel, const sockaddr_in& from, const uint8_t* bytes, std::size_t size,
                       int64_t now_ns, Outbox& outbox) {
  if (channel < 0 || channel >= channels()) {
    return;
  }
  Channel& state = channels_[channel];
  wire::Datagram datagram{};
  if (wire::decode(bytes, size, datagram) != wire::DecodeError::kNone ||
      datagram.header.kind == wire::Kind::kRefused) {
    ++state.stats.malformed;
    return;
  }
  const wire::Header& header = datagram.header;
  const bool on_holders_endpoint = state.held && same_endpoint(state.host, from);
  const bool from_holder = on_holders_endpoint && state.host_session == header.envelope.session;
  if (!from_holder) {
    if (header.kind == wire::Kind::kBye || header.kind == wire::Kind::kAck) {
      return;  // nothing to say goodbye to or to acknowledge
    }
    if (on_holders_endpoint) {
      // Another run of the program on the holder's endpoint: only the HELLO
      // of a newer run takes the seat, so nothing late from a run before can.
      if (header.kind != wire::Kind::kHello ||
          (state.run_start_known && is_after(state.run_start_ms, header.envelope.sequence))) {
        ++state.stats.ignored;
        return;
      }
      leave(channel, "replaced by a new run", now_ns);
    } else if (state.held) {
      if (!may_take_seat(state, datagram, now_ns)) {
        refuse(channel, from, header, now_ns, outbox);
        return;
      }
      char newcomer[64];
      describe_endpoint(from, newcomer, sizeof newcomer);
      char why[96];
      std::snprintf(why, sizeof why, "replaced by %s", newcomer);
      leave(channel, why, now_ns);
    }
    join(channel, from, header, now_ns, outbox);
  }
  if (header.kind == wire::Kind::kBye) {
    state.waiting_count = 0;  // a host that leaves wants no more records: none is given up
    // What the bus brought before the goodbye goes out, then the number of
    // the next frame, so the host can count what it never got.
    flush_channel(channel, outbox);
    send_ack(channel, wire::kGoodbyeAckedType, state.next_frame, outbox);
    leave(channel, "goodbye", now_ns);
    return;
  }
  state.last_heard_ns = now_ns;
  if (!state.present) {
    state.present = true;
    char text[96];
    std::snprintf(text, sizeof text, "back (%llu frames dropped while away)",
                  static_cast<unsigned long long>(state.dropped_while_away));
    event(channel, state.host, text, now_ns);
    state.dropped_while_away = 0;
    for (Unacked& entry : state.unacked) {
      entry.next_try_ns = now_ns;  // repeat at once what it has not acknowledged
    }
  }

  switch (header.kind) {
    case wire::Kind::kHello:
      send_ack(channel, wire::kAliveAckedType, wire::kAliveAckedNumber, outbox);
      break;
    case wire::Kind::kBye:
    case wire::Kind::kRefused:
      break;
    case wire::Kind::kControl: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      if (record.type == INIT_CAN_CHIP && !state.listening) {
        start_listening(channel, now_ns);
      }
      send_ack(channel, record.type, header.envelope.sequence, outbox);
      if (record.type == wire::kRoomRecordType) {
        state.room_reports = true;
        advance(now_ns, outbox);
        send_room(channel, now_ns, outbox);
      }
      break;
    }
    case wire::Kind::kAck: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      uint16_t acked_type = 0;
      uint32_t acked_sequence = 0;
      if (wire::parse_ack(record, acked_type, acked_sequence)) {
        acknowledged(channel, acked_sequence);
      }
      break;
    }
    case wire::Kind::kFrames:
      take_frames(channel, datagram, now_ns, outbox);
      break;
  }
}

void SimDevice::tick(int64_t now_ns, Outbox& outbox) {
  advance(now_ns, outbox);
  if (record_ != nullptr && record_error_ == 0 && now_ns - last_record_flush_ns_ >= 1'000'000'000) {
    // Nothing older than a second is lost on a kill.
    errno = 0;
    if (std::fflush(record_) != 0) {
      record_error_ = errno != 0 ? errno : EIO;
    }
    last_record_flush_ns_ = now_ns;
  }
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (!state.held) {
      continue;
    }
    if (!state.present) {
      if (now_ns - state.last_heard_ns > kSeatKeepNs) {
        static const std::string silent =
            "silent for " + std::to_string(kSeatKeepNs / kNsPerMinute) + " minutes";
        leave(channel, silent.c_str(), now_ns);
      }
      continue;
    }
    if (now_ns - state.last_heard_ns > kHostTimeoutNs) {
      flush_channel(channel, outbox);
      state.present = false;
      event(channel, state.host, "away (silent; its place is kept)", now_ns);
      continue;
    }
    if (state.waiting_count == 0) {
      continue;
    }
    for (uint32_t number = state.oldest_unacked; number != state.next_control; ++number) {
      Unacked& entry = state.unacked[number % kControlWindow];
      if (entry.waiting && entry.next_try_ns <= now_ns) {
        entry.next_try_ns = now_ns + kControlRetryNs;
        transmit(channel, entry.bytes, entry.size, 0, outbox);
      }
    }
  }
}

}  // namespace zelbor::sim
