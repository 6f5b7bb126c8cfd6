#include "sim_device.h"

#include <cstring>

#include "stream.h"

namespace zelbor::sim {
namespace {

constexpr int64_t kNsPerMinute = 60'000'000'000;
static_assert(kSeatKeepNs % kNsPerMinute == 0, "the event below names whole minutes");

}  // namespace

SimDevice::SimDevice(int channels, Faults faults, uint64_t session_seed, int64_t start_ns,
                     std::FILE* events, BusSettings bus)
    : channels_(static_cast<std::size_t>(channels)),
      faults_(faults),
      random_state_(session_seed == 0 ? 0x9E3779B97F4A7C15ULL : session_seed),
      start_ns_(start_ns),
      events_(events, channels),
      bus_(bus.bitrate),
      tx_queue_(bus.tx_queue) {
  for (int channel = 0; channel < channels; ++channel) {
    bus_.add_node(tx_queue_);
    node_names_.push_back("channel " + std::to_string(channel));
  }
}

int SimDevice::add_source(std::string name) {
  node_names_.push_back(std::move(name));
  return bus_.add_node(tx_queue_);
}

bool SimDevice::offer(int node, const RawCanMessage& frame, int64_t now_ns) {
  return bus_.offer(node, rawcan::as_sent_on_the_wire(frame), now_ns);
}

void SimDevice::run_bus(int64_t now_ns, Outbox& outbox) {
  bus_.run_until(now_ns, [&](int node, const RawCanMessage& frame, int64_t end_of_frame_ns) {
    pass_frame(node < channels() ? node : -1, frame, end_of_frame_ns, outbox);
  });
}

void SimDevice::advance(int64_t now_ns, Outbox& outbox) {
  run_bus(now_ns, outbox);
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (state.seat.held() && state.room_low && room(channel) >= room_threshold()) {
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

bool SimDevice::should_drop(int channel, Stream stream) {
  if (faults_.drop <= 0.0) {
    return false;
  }
  uint32_t& sent = channels_[channel].sent_of_stream[static_cast<int>(stream)];
  // splitmix64 of the datagram's place: independent of what other channels
  // and streams sent meanwhile.
  uint64_t z = faults_.seed +
               0x9E3779B97F4A7C15ULL * (uint64_t{static_cast<uint32_t>(channel)} << 34 |
                                        uint64_t{static_cast<uint32_t>(stream)} << 32 | sent++);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53 < faults_.drop;
}

wire::Envelope SimDevice::envelope(const Channel& state, uint32_t sequence) const {
  return {state.session, state.seat.host_session(), sequence, state.next_batch};
}

bool SimDevice::transmit(int channel, Stream stream, const uint8_t* bytes, std::size_t size,
                         uint64_t frames, Outbox& outbox) {
  Channel& state = channels_[channel];
  if (should_drop(channel, stream) || !outbox.send(channel, state.seat.host(), bytes, size)) {
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
  transmit(channel, Stream::kOther, ack, size, 0, outbox);
}

void SimDevice::join(int channel, const sockaddr_in& from, const wire::Header& header,
                     int64_t now_ns, Outbox& outbox) {
  Channel& state = channels_[channel];
  state.seat.take(from, header, now_ns);
  do {
    state.session = static_cast<uint32_t>(next_random() >> 32);
  } while (state.session == 0);
  state.next_frame = 0;
  state.controls.reset();
  state.dropped_while_away = 0;
  state.room_reports = false;
  state.room_low = false;
  // The host's oldest frame datagram not yet taken (its ack): after a device
  // restart the host goes on numbering where it was.
  state.next_batch = state.seat.resume_batch(header.envelope.ack);
  events_.event(channel, from, "joined", now_ns);
  if (header.envelope.peer != 0) {
    // The host knew an earlier session of the device, so its chip was
    // initialised: it listens at once and hears that the device is back,
    // so a program waiting for a control record goes on.
    start_listening(channel, now_ns);
    send_control(channel, wire::kReadyRecordType, nullptr, 0, now_ns, outbox);
  }
}

void SimDevice::start_listening(int channel, int64_t now_ns) {
  channels_[channel].seat.listen();
  if (!anyone_listening_) {
    anyone_listening_ = true;
    first_listen_ns_ = now_ns;
  }
}

void SimDevice::leave(int channel, const char* why, int64_t now_ns) {
  Channel& state = channels_[channel];
  if (!state.seat.held()) {
    return;
  }
  state.seat.give_up(state.next_batch, now_ns);
  state.stats.dropped += state.pending_count;
  state.pending_count = 0;
  state.stats.controls_dropped += state.controls.clear();
  char text[96];
  std::snprintf(text, sizeof text, "left (%s)", why);
  events_.event(channel, state.seat.host(), text, now_ns);
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
    describe_endpoint(state.seat.host(), holder, sizeof holder);
    char text[96];
    std::snprintf(text, sizeof text, "refused (channel held by %s)", holder);
    events_.event(channel, from, text, now_ns);
  }
}

void SimDevice::send_control(int channel, uint16_t type, const uint8_t* data, uint16_t length,
                             int64_t now_ns, Outbox& outbox) {
  Channel& state = channels_[channel];
  CtrlMessage record{};
  record.type = type;
  record.length = length;
  if (length != 0) {
    std::memcpy(record.data, data, length);
  }
  const ControlRepeater::Datagram sent = state.controls.add(
      now_ns,
      [&](uint32_t number, uint8_t* bytes, std::size_t capacity) {
        return wire::encode_control(wire::Kind::kControl, envelope(state, number), record, bytes,
                                    capacity);
      },
      state.stats.controls_dropped);
  transmit(channel, Stream::kControls, sent.bytes, sent.size, 0, outbox);
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
  transmit(channel, Stream::kFrames, datagram, size, state.pending_count, outbox);
  state.pending_count = 0;
}

void SimDevice::flush(Outbox& outbox) {
  for (int channel = 0; channel < channels(); ++channel) {
    flush_channel(channel, outbox);
  }
}

void SimDevice::pass_frame(int from_channel, RawCanMessage frame, int64_t end_of_frame_ns,
                           Outbox& outbox) {
  for (BusObserver* observer : observers_) {
    observer->on_bus(from_channel, frame, end_of_frame_ns);
  }
  const uint64_t stamp = time_count(end_of_frame_ns);
  frame.time_high = static_cast<uint32_t>(stamp >> 32);
  frame.time_low = static_cast<uint32_t>(stamp);
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (channel == from_channel || !state.seat.listening()) {
      continue;
    }
    if (!state.seat.present()) {
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
    if (!offer(channel, frame, now_ns)) {
      bus_.refuse(channel, header.count - i - 1);  // the queue stays full for the rest
      break;
    }
    ++taken;
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
  switch (state.seat.admit(from, datagram, now_ns)) {
    case Seat::Admission::kHolder:
      break;
    case Seat::Admission::kNoAnswer:
      return;
    case Seat::Admission::kIgnored:
      ++state.stats.ignored;
      return;
    case Seat::Admission::kRefused:
      refuse(channel, from, header, now_ns, outbox);
      return;
    case Seat::Admission::kNewRun:
      leave(channel, "replaced by a new run", now_ns);
      join(channel, from, header, now_ns, outbox);
      break;
    case Seat::Admission::kNewHost: {
      char newcomer[64];
      describe_endpoint(from, newcomer, sizeof newcomer);
      char why[96];
      std::snprintf(why, sizeof why, "replaced by %s", newcomer);
      leave(channel, why, now_ns);
      join(channel, from, header, now_ns, outbox);
      break;
    }
    case Seat::Admission::kTakes:
      join(channel, from, header, now_ns, outbox);
      break;
  }
  if (header.kind == wire::Kind::kBye) {
    state.controls.clear();  // a host that leaves wants no more records: none is given up
    // What the bus brought before the goodbye goes out, then the number of
    // the next frame, so the host can count what it never got.
    flush_channel(channel, outbox);
    send_ack(channel, wire::kGoodbyeAckedType, state.next_frame, outbox);
    leave(channel, "goodbye", now_ns);
    return;
  }
  if (state.seat.heard(now_ns)) {
    char text[96];
    std::snprintf(text, sizeof text, "back (%llu frames dropped while away)",
                  static_cast<unsigned long long>(state.dropped_while_away));
    events_.event(channel, state.seat.host(), text, now_ns);
    state.dropped_while_away = 0;
    state.controls.repeat_all_from(now_ns);  // at once, what it has not acknowledged
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
      if (record.type == INIT_CAN_CHIP && !state.seat.listening()) {
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
        state.controls.acknowledged(acked_sequence);
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
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (!state.seat.held()) {
      continue;
    }
    const Seat::Silence silence = state.seat.silence(now_ns);
    if (!state.seat.present()) {
      if (silence == Seat::Silence::kGone) {
        static const std::string silent =
            "silent for " + std::to_string(kSeatKeepNs / kNsPerMinute) + " minutes";
        leave(channel, silent.c_str(), now_ns);
      }
      continue;
    }
    if (silence == Seat::Silence::kAway) {
      flush_channel(channel, outbox);
      state.seat.go_away();
      events_.event(channel, state.seat.host(), "away (silent; its place is kept)", now_ns);
      continue;
    }
    state.controls.repeat_due(now_ns, [&](const ControlRepeater::Datagram& datagram) {
      transmit(channel, Stream::kControls, datagram.bytes, datagram.size, 0, outbox);
    });
  }
}

}  // namespace zelbor::sim
