#include "sim_device.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "generated.h"

namespace zelbor::sim {
namespace {

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

void describe_endpoint(const sockaddr_in& address, char* text, std::size_t size) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  std::snprintf(text, size, "%s:%u", ip, static_cast<unsigned>(ntohs(address.sin_port)));
}

}  // namespace

SimDevice::SimDevice(int channels, uint32_t session, double drop_fraction, uint64_t seed,
                     int64_t start_ns, std::FILE* events)
    : channels_(static_cast<std::size_t>(channels)),
      session_(session),
      drop_fraction_(drop_fraction),
      random_state_(seed == 0 ? 0x9E3779B97F4A7C15ULL : seed),
      start_ns_(start_ns),
      events_(events) {}

uint64_t SimDevice::time_count(int64_t now_ns) const {
  const auto elapsed = static_cast<uint64_t>(now_ns > start_ns_ ? now_ns - start_ns_ : 0);
  return elapsed / 1000 * 32 + elapsed % 1000 * 32 / 1000;
}

bool SimDevice::should_drop() {
  if (drop_fraction_ <= 0.0) {
    return false;
  }
  // xorshift64*: cheap and good enough for fault injection
  random_state_ ^= random_state_ >> 12;
  random_state_ ^= random_state_ << 25;
  random_state_ ^= random_state_ >> 27;
  const uint64_t value = random_state_ * 0x2545F4914F6CDD1DULL;
  return static_cast<double>(value >> 11) * 0x1.0p-53 < drop_fraction_;
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

void SimDevice::join(int channel, const sockaddr_in& from, int64_t now_ns) {
  Channel& state = channels_[channel];
  if (state.host_present) {
    leave(channel, "replaced");
  }
  state.host_present = true;
  state.host_listening = false;
  state.host = from;
  state.last_heard_ns = now_ns;
  state.from_host = SequenceTracker{};
  state.send_sequence = 0;  // each host hears the device's sequence from 0
  if (events_ != nullptr) {
    char endpoint[64];
    describe_endpoint(from, endpoint, sizeof endpoint);
    std::fprintf(events_, "channel %d: host %s joined\n", channel, endpoint);
    std::fflush(events_);
  }
}

void SimDevice::start_listening(int channel, int64_t now_ns) {
  channels_[channel].host_listening = true;
  if (!anyone_listening_) {
    anyone_listening_ = true;
    first_listen_ns_ = now_ns;
  }
}

void SimDevice::leave(int channel, const char* why) {
  Channel& state = channels_[channel];
  if (!state.host_present) {
    return;
  }
  state.host_present = false;
  state.host_listening = false;
  state.stats.dropped += state.pending_count;
  state.pending_count = 0;
  for (Unacked& entry : state.unacked) {
    entry.used = false;
  }
  if (events_ != nullptr) {
    char endpoint[64];
    describe_endpoint(state.host, endpoint, sizeof endpoint);
    std::fprintf(events_, "channel %d: host %s left (%s)\n", channel, endpoint, why);
    std::fflush(events_);
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
  // Reuse the oldest slot when every one is taken.
  Unacked* slot = &state.unacked[0];
  for (Unacked& entry : state.unacked) {
    if (!entry.used) {
      slot = &entry;
      break;
    }
    if (entry.next_try_ns < slot->next_try_ns) {
      slot = &entry;
    }
  }
  slot->used = true;
  slot->sequence = state.send_sequence++;
  slot->tries_left = kControlTries - 1;
  slot->next_try_ns = now_ns + kControlRetryNs;
  slot->size = wire::encode_control(wire::Kind::kControl, session_, slot->sequence, record,
                                    slot->bytes, sizeof slot->bytes);
  transmit(channel, slot->bytes, slot->size, 0, outbox);
}

void SimDevice::flush_channel(int channel, Outbox& outbox) {
  Channel& state = channels_[channel];
  if (state.pending_count == 0) {
    return;
  }
  uint8_t datagram[wire::kMaxDatagram];
  const std::size_t size = wire::encode_frames(session_, state.send_sequence++, state.pending,
                                               state.pending_count, datagram, sizeof datagram);
  transmit(channel, datagram, size, state.pending_count, outbox);
  state.pending_count = 0;
}

void SimDevice::flush(Outbox& outbox) {
  for (int channel = 0; channel < channels(); ++channel) {
    flush_channel(channel, outbox);
  }
}

bool SimDevice::has_pending_frames() const {
  for (const Channel& state : channels_) {
    if (state.pending_count != 0) {
      return true;
    }
  }
  return false;
}

void SimDevice::put_frame_on_bus(int from_channel, RawCanMessage frame, int64_t now_ns,
                                 Outbox& outbox) {
  frame = as_sent_on_the_wire(frame);
  if (record_ != nullptr && record_error_ == 0) {
    char line[kMaxCandumpLine];
    const int64_t wall_us = (now_ns + realtime_offset_ns_) / 1000;
    const std::size_t size =
        format_candump_line(wall_us, from_channel < 0 ? 0 : from_channel, frame, line);
    errno = 0;
    if (std::fwrite(line, 1, size, record_) != size) {
      record_error_ = errno != 0 ? errno : EIO;
    }
  }
  const uint64_t stamp = time_count(now_ns);
  frame.time_high = static_cast<uint32_t>(stamp >> 32);
  frame.time_low = static_cast<uint32_t>(stamp);
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (channel == from_channel || !state.host_listening) {
      continue;
    }
    state.pending[state.pending_count++] = frame;
    if (state.pending_count == wire::kMaxFramesPerDatagram) {
      flush_channel(channel, outbox);
    }
  }
}

void SimDevice::put_on_bus(int from_channel, const wire::Datagram& datagram, int64_t now_ns,
                           Outbox& outbox) {
  for (std::size_t i = 0; i < datagram.header.count; ++i) {
    RawCanMessage frame{};
    wire::frame_at(datagram, i, frame);
    put_frame_on_bus(from_channel, frame, now_ns, outbox);
  }
}

void SimDevice::enable_generator(double rate, uint64_t count) {
  generator_rate_ = rate;
  generator_count_ = count;
}

bool SimDevice::generator_running() const {
  return generator_rate_ > 0 && anyone_listening_ &&
         (generator_count_ == 0 || generated_ < generator_count_);
}

void SimDevice::generate(int64_t now_ns, Outbox& outbox) {
  if (!generator_running()) {
    return;
  }
  const double elapsed_s = static_cast<double>(now_ns - first_listen_ns_) * 1e-9;
  auto due = static_cast<uint64_t>(elapsed_s * generator_rate_);
  if (generator_count_ != 0 && due > generator_count_) {
    due = generator_count_;
  }
  for (; generated_ < due; ++generated_) {
    put_frame_on_bus(-1, generated_frame(generated_), now_ns, outbox);
  }
}

void SimDevice::enable_replay(std::vector<LogEntry> entries, uint64_t loops) {
  replay_entries_ = std::move(entries);
  replay_loops_ = loops;
  replay_enabled_ = true;
  replay_finished_ = false;
}

bool SimDevice::replay_running() const {
  return replay_enabled_ && anyone_listening_ && !replay_finished_;
}

void SimDevice::replay(int64_t now_ns, Outbox& outbox) {
  if (!replay_running()) {
    return;
  }
  if (replay_entries_.empty()) {
    replay_finished_ = true;
    return;
  }
  const int64_t first_us = replay_entries_.front().time_us;
  const int64_t span_us = replay_entries_.back().time_us - first_us;
  const int64_t elapsed_us = (now_ns - first_listen_ns_) / 1000;
  // Bounded per call, so a log whose frames share one time cannot loop here forever.
  for (int budget = 100000; budget > 0; --budget) {
    const LogEntry& entry = replay_entries_[replay_next_];
    const int64_t due_us = entry.time_us - first_us + static_cast<int64_t>(replay_loop_) * span_us;
    if (due_us > elapsed_us) {
      return;
    }
    put_frame_on_bus(-1, entry.frame, now_ns, outbox);
    ++replayed_;
    if (++replay_next_ == replay_entries_.size()) {
      replay_next_ = 0;
      if (++replay_loop_ == replay_loops_) {
        replay_finished_ = true;
        return;
      }
    }
  }
}

void SimDevice::set_recorder(std::FILE* file, int64_t realtime_offset_ns) {
  record_ = file;
  realtime_offset_ns_ = realtime_offset_ns;
}

void SimDevice::handle(int channel, const sockaddr_in& from, const uint8_t* bytes, std::size_t size,
                       int64_t now_ns, Outbox& outbox) {
  if (channel < 0 || channel >= channels()) {
    return;
  }
  Channel& state = channels_[channel];
  wire::Datagram datagram{};
  if (wire::decode(bytes, size, datagram) != wire::DecodeError::kNone) {
    ++state.stats.malformed;
    return;
  }
  const wire::Header& header = datagram.header;
  if (!state.host_present || !same_endpoint(state.host, from)) {
    if (header.kind == wire::Kind::kBye || header.kind == wire::Kind::kAck) {
      return;  // nothing to say goodbye to or to acknowledge
    }
    join(channel, from, now_ns);
  }
  state.last_heard_ns = now_ns;
  const SequenceResult order = track(state.from_host, header.session, header.sequence);

  switch (header.kind) {
    case wire::Kind::kHello: {
      const uint32_t known = wire::hello_device_session(datagram);
      if (known != 0 && !state.host_listening) {
        start_listening(channel, now_ns);  // initialised with this or an earlier run
      }
      if (known != 0 && known != session_) {
        // The host knew the device before a restart: tell it the device is
        // back, so a program waiting for a control record goes on.
        send_control(channel, wire::kReadyRecordType, nullptr, 0, now_ns, outbox);
      }
      break;
    }
    case wire::Kind::kBye:
      leave(channel, "goodbye");
      break;
    case wire::Kind::kControl: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      if (record.type == INIT_CAN_CHIP && !state.host_listening) {
        start_listening(channel, now_ns);
      }
      uint8_t ack[wire::kHeaderSize + wire::kControlHeaderSize + wire::kAckRecordLength];
      const std::size_t ack_size = wire::encode_ack(session_, state.send_sequence++, record.type,
                                                    header.sequence, ack, sizeof ack);
      transmit(channel, ack, ack_size, 0, outbox);
      break;
    }
    case wire::Kind::kAck: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      uint16_t acked_type = 0;
      uint32_t acked_sequence = 0;
      if (wire::parse_ack(record, acked_type, acked_sequence)) {
        for (Unacked& entry : state.unacked) {
          if (entry.used && entry.sequence == acked_sequence) {
            entry.used = false;
          }
        }
      }
      break;
    }
    case wire::Kind::kFrames: {
      if (order.verdict == SequenceVerdict::kStale) {
        break;  // already on the bus once
      }
      state.stats.frames_in += header.count;
      put_on_bus(channel, datagram, now_ns, outbox);
      const uint8_t count[2] = {static_cast<uint8_t>(header.count),
                                static_cast<uint8_t>(header.count >> 8)};
      send_control(channel, MESSAGE_COUNT, count, 2, now_ns, outbox);
      break;
    }
  }
}

void SimDevice::tick(int64_t now_ns, Outbox& outbox) {
  for (int channel = 0; channel < channels(); ++channel) {
    Channel& state = channels_[channel];
    if (!state.host_present) {
      continue;
    }
    if (now_ns - state.last_heard_ns > kHostTimeoutNs) {
      leave(channel, "silent");
      continue;
    }
    for (Unacked& entry : state.unacked) {
      if (!entry.used || entry.next_try_ns > now_ns) {
        continue;
      }
      if (entry.tries_left-- <= 0) {
        entry.used = false;
        continue;
      }
      entry.next_try_ns = now_ns + kControlRetryNs;
      transmit(channel, entry.bytes, entry.size, 0, outbox);
    }
  }
}

}  // namespace zelbor::sim
