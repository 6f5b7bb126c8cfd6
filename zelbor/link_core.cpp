#include "link_core.h"

#include <cstring>

#include "can_frame.h"

namespace zelbor {
namespace {

void add_lost(uint64_t& counter, int64_t lost) {
  if (lost >= 0) {
    counter += static_cast<uint64_t>(lost);
  } else {
    counter -= counter < static_cast<uint64_t>(-lost) ? counter : static_cast<uint64_t>(-lost);
  }
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == AF_INET && a.sin_addr.s_addr == b.sin_addr.s_addr &&
         a.sin_port == b.sin_port;
}

constexpr int64_t ms(int milliseconds) {
  return int64_t{milliseconds} * kNsPerMs;
}

}  // namespace

void LinkCore::start(const sockaddr_in& device, uint32_t own_session, uint32_t run_start_ms,
                     int64_t now_ns) {
  now_ns_ = now_ns;
  device_ = device;
  own_session_ = own_session;
  run_start_ms_ = run_start_ms;
  queue_.init();
  outbox_.clear();
  send_signal(wire::Kind::kHello);
}

wire::Envelope LinkCore::envelope(uint32_t sequence) const {
  return {own_session_, knows_device_ ? device_session_ : 0, sequence, oldest_unacknowledged()};
}

bool LinkCore::queue_send(const Outgoing& outgoing) {
  if (outbox_.push_back(outgoing)) {
    return true;
  }
  ++counters_.send_failures;  // kOutboxDepth bounds what one call decides on; never expected
  return false;
}

std::size_t LinkCore::encode_next() {
  while (!outbox_.empty()) {
    const Outgoing& next = outbox_.front();
    std::size_t size = 0;
    bool taken_meanwhile = false;
    switch (next.what) {
      case Outgoing::What::kSignal:
        size = wire::encode_signal(next.signal, next.envelope, transmit_, sizeof transmit_);
        break;
      case Outgoing::What::kAck:
        size = wire::encode_ack(next.envelope, next.acked_type, next.acked_sequence, transmit_,
                                sizeof transmit_);
        break;
      case Outgoing::What::kControl:
        std::memcpy(transmit_, control_datagram_, control_size_);
        size = control_size_;
        break;
      case Outgoing::What::kBatch: {
        // Held batches are numbered one after another from the oldest.
        const uint32_t index = next.envelope.sequence - oldest_unacknowledged();
        taken_meanwhile = index >= held_.size();
        if (!taken_meanwhile) {
          const HeldBatch& batch = held_[index];
          size = wire::encode_frames(next.envelope, batch.frames, batch.count, transmit_,
                                     sizeof transmit_);
        }
        break;
      }
    }
    if (size > 0) {
      return size;
    }
    // Nothing to send: the device took the batch meanwhile, or (never
    // expected: the calls check what they queue) it would not encode, which
    // counts as a failed send, so that nothing queued behind it waits for good.
    if (!taken_meanwhile) {
      ++counters_.send_failures;
    }
    outbox_.pop_front();
  }
  return 0;
}

void LinkCore::sent(const SendResult& result) {
  counters_.send_retries += result.retries;
  if (result.sent) {
    ++counters_.datagrams_out;
    return;
  }
  ++counters_.send_failures;
  if (outbox_.front().what == Outgoing::What::kControl &&
      control_write_ == ControlWrite::kAwaitingAck) {
    control_write_ = ControlWrite::kSendFailed;
  }
  // A failed frame datagram is sent again with the held ones.
}

void LinkCore::send_signal(wire::Kind kind) {
  const bool hello = kind == wire::Kind::kHello;
  if (hello) {
    last_hello_ns_ = now_ns_;
  }
  queue_send({Outgoing::What::kSignal, kind, 0, 0, envelope(hello ? run_start_ms_ : 0)});
}

void LinkCore::send_ack(uint16_t acked_type, uint32_t acked_sequence) {
  queue_send({Outgoing::What::kAck, wire::Kind::kAck, acked_type, acked_sequence, envelope(0)});
}

void LinkCore::send_batch(HeldBatch& batch) {
  batch.sent_ns = now_ns_;
  queue_send({Outgoing::What::kBatch, wire::Kind::kFrames, 0, 0, envelope(batch.number)});
}

// The device acknowledges frame datagrams by the number of the next one it
// will take; everything before it is on the bus and need not be held.
void LinkCore::release_taken(uint32_t next_taken) {
  while (!held_.empty() && is_after(next_taken, held_.front().number)) {
    held_.pop_front();
  }
}

void LinkCore::on_time(int64_t now_ns) {
  now_ns_ = now_ns;
  if (phase_ == Phase::kLeaving) {
    if (now_ns_ >= goodbye_deadline_ns_) {
      phase_ = Phase::kGaveUp;  // a device that does not answer costs kGoodbyeWaitMs
    }
    return;
  }
  if (phase_ != Phase::kRunning) {
    return;
  }
  if (control_write_ == ControlWrite::kAwaitingAck && now_ns_ >= attempt_deadline_ns_) {
    if (control_attempts_ == kAckAttempts) {
      control_write_ = ControlWrite::kNoAnswer;
    } else {
      send_control_attempt();
    }
  }
  // All held batches go again, in order, as the device takes them only in order.
  if (!held_.empty() && now_ns_ - held_.front().sent_ns >= ms(kResendIntervalMs)) {
    for (std::size_t i = 0; i < held_.size(); ++i) {
      send_batch(held_[i]);
    }
    counters_.batches_resent += held_.size();
  }
  if (now_ns_ - last_hello_ns_ >= ms(kKeepaliveIntervalMs)) {
    send_signal(wire::Kind::kHello);
  }
}

int64_t LinkCore::next_wake_ns() const {
  if (phase_ == Phase::kLeaving) {
    return goodbye_deadline_ns_;
  }
  if (phase_ != Phase::kRunning) {
    return kNever;
  }
  int64_t wake = last_hello_ns_ + ms(kKeepaliveIntervalMs);
  if (!held_.empty() && held_.front().sent_ns + ms(kResendIntervalMs) < wake) {
    wake = held_.front().sent_ns + ms(kResendIntervalMs);
  }
  if (control_write_ == ControlWrite::kAwaitingAck && attempt_deadline_ns_ < wake) {
    wake = attempt_deadline_ns_;
  }
  return wake;
}

void LinkCore::queue_control(const CtrlMessage& record) {
  if (controls_.full()) {
    controls_.pop_front();
    ++counters_.controls_overflowed;
  }
  controls_.push_back(record);
}

// A datagram from a session of the device other than the current one: the
// device restarted, or let this host go long enough to forget it. Returns
// false for a late datagram of an earlier session, which is dropped: going
// back to it would deliver its old frames again and drop the current ones.
bool LinkCore::follow_device_session(uint32_t session) {
  if (knows_device_ && session == device_session_) {
    return true;
  }
  for (std::size_t i = 0; i < earlier_device_sessions_.size(); ++i) {
    if (earlier_device_sessions_[i] == session) {
      return false;
    }
  }
  if (knows_device_) {
    ++counters_.device_restarts;
    if (earlier_device_sessions_.full()) {
      earlier_device_sessions_.pop_front();
    }
    earlier_device_sessions_.push_back(device_session_);
  }
  knows_device_ = true;
  device_session_ = session;
  frames_from_device_.reset();
  controls_from_device_.reset();
  delivered_controls_.reset(0);
  return true;
}

// Returns how many frames of the datagram to queue for reading: 0 unless it
// is the device's next frames.
uint16_t LinkCore::accept_frames(const wire::Header& header) {
  const auto result = frames_from_device_.place(header.envelope.sequence, header.count, now_ns_);
  switch (result.place) {
    case StreamTracker::Place::kMoved:
      ++counters_.resyncs;
      [[fallthrough]];
    case StreamTracker::Place::kNext:
    case StreamTracker::Place::kAhead:
      add_lost(counters_.frames_lost, result.lost);
      counters_.frames_in += header.count;
      return header.count;
    case StreamTracker::Place::kBehind:
      ++counters_.stale;
      return 0;
    case StreamTracker::Place::kOutside:
      ++counters_.out_of_window;
      return 0;
  }
  return 0;
}

// Every control record from the device is delivered once, however often the
// device repeats it, and every copy within the window is acknowledged.
void LinkCore::accept_control(const wire::Datagram& datagram) {
  const uint32_t number = datagram.header.envelope.sequence;
  CtrlMessage record{};
  wire::control_record(datagram, record);
  const auto result = controls_from_device_.place(number, 1, now_ns_);
  bool deliver = true;
  switch (result.place) {
    case StreamTracker::Place::kMoved:
      ++counters_.resyncs;
      [[fallthrough]];
    case StreamTracker::Place::kNext:
    case StreamTracker::Place::kAhead:
      delivered_controls_.advance(number + 1);
      // Once delivered is delivered, wherever the stream thinks it is.
      deliver = !(delivered_controls_.covers(number) && delivered_controls_.delivered(number));
      break;
    case StreamTracker::Place::kBehind:
      deliver = delivered_controls_.covers(number) && !delivered_controls_.delivered(number);
      if (deliver) {
        add_lost(counters_.controls_lost, -1);  // a late one fills its gap
      } else {
        ++counters_.stale;
      }
      break;
    case StreamTracker::Place::kOutside:
      ++counters_.out_of_window;
      return;  // unacknowledged, so a genuine record is repeated
  }
  add_lost(counters_.controls_lost, result.lost);
  if (deliver) {
    delivered_controls_.mark(number);
    queue_control(record);
  }
  send_ack(record.type, number);
}

void LinkCore::accept_ack(const wire::Datagram& datagram) {
  CtrlMessage record{};
  wire::control_record(datagram, record);
  uint16_t acked_type = 0;
  uint32_t acked_sequence = 0;
  // Only the ack of the control write in progress counts, by type and number
  // (the answer to HELLO carries a number too); late repeats are dropped, and
  // acks of frames say all they have to say in the header.
  if (!wire::parse_ack(record, acked_type, acked_sequence)) {
    return;
  }
  if (acked_type == wire::kGoodbyeAckedType) {
    // After BYE the device sends what it still held for this host, then this
    // answer with the number of the next frame it would have sent: it counts
    // frames dropped while this host was away, which nothing else reveals.
    if (phase_ == Phase::kLeaving) {
      phase_ = Phase::kLeft;
      add_lost(counters_.frames_lost, frames_from_device_.end_at(acked_sequence));
    }
    return;
  }
  if (acked_type != wire::kFramesAckedType && control_write_ == ControlWrite::kAwaitingAck &&
      acked_type == ack_type_ && acked_sequence == ack_sequence_) {
    control_write_ = ControlWrite::kAcked;
    queue_control(record);
  }
}

// Sorts one received datagram; returns the frames its slot now holds for reading.
uint16_t LinkCore::accept(const DatagramSlot& received) {
  if (!same_endpoint(received.source, device_)) {
    ++counters_.foreign;
    return 0;
  }
  wire::Datagram datagram{};
  if (received.cut ||
      wire::decode(received.bytes, received.size, datagram) != wire::DecodeError::kNone ||
      datagram.header.kind == wire::Kind::kHello || datagram.header.kind == wire::Kind::kBye) {
    ++counters_.malformed;
    return 0;
  }
  const wire::Header& header = datagram.header;
  if (header.envelope.peer != own_session_) {
    ++counters_.foreign;  // meant for an earlier run on this endpoint
    return 0;
  }
  if (header.kind == wire::Kind::kRefused) {
    ++counters_.datagrams_in;
    if (control_write_ == ControlWrite::kAwaitingAck) {
      control_write_ = ControlWrite::kRefused;
    }
    return 0;
  }
  if (!follow_device_session(header.envelope.session)) {
    ++counters_.stale;
    return 0;
  }
  ++counters_.datagrams_in;
  device_heard_ns_ = now_ns_;
  release_taken(header.envelope.ack);
  switch (header.kind) {
    case wire::Kind::kFrames:
      return accept_frames(header);
    case wire::Kind::kControl:
      accept_control(datagram);
      return 0;
    case wire::Kind::kAck:
      accept_ack(datagram);
      return 0;
    default:
      return 0;
  }
}

DatagramSlot* LinkCore::lend(int most, int& count) {
  if (queue_.free_count() == 0) {
    // Unread frames must not hold back a control record or an ack.
    counters_.frames_overflowed += queue_.drop_oldest();
  }
  lent_count_ = queue_.lend(lent_, most < FrameQueue::kSlots ? most : FrameQueue::kSlots);
  for (int i = 0; i < lent_count_; ++i) {
    received_[i].bytes = queue_.bytes(lent_[i]);
    received_[i].capacity = FrameQueue::kSlotBytes;
  }
  count = lent_count_;
  return received_;
}

void LinkCore::take(int received, int64_t now_ns) {
  now_ns_ = received > 0 ? now_ns : now_ns_;
  for (int i = 0; i < lent_count_; ++i) {
    const uint16_t frames = i < received ? accept(received_[i]) : 0;
    if (frames > 0 && phase_ == Phase::kRunning) {
      queue_.push(lent_[i], frames);
    } else {
      queue_.give_back(lent_[i]);
    }
  }
  lent_count_ = 0;
}

bool LinkCore::has(Want want) const {
  switch (want) {
    case Want::kFrames:
      return !queue_.empty();
    case Want::kControl:
      return !controls_.empty();
    case Want::kAck:
      return control_write_ != ControlWrite::kAwaitingAck;
    case Want::kGoodbye:
      return phase_ != Phase::kLeaving;
    case Want::kEverything:
      return false;
  }
  return false;
}

void LinkCore::send_control_attempt() {
  ++control_attempts_;
  attempt_deadline_ns_ = now_ns_ + ms(kAckWaitMs);
  if (!knows_device_) {
    // A device that has not heard this run's HELLO may not take its records.
    send_signal(wire::Kind::kHello);
  }
  if (!queue_send({Outgoing::What::kControl, wire::Kind::kControl, 0, 0, {}})) {
    control_write_ = ControlWrite::kSendFailed;
  }
}

void LinkCore::begin_control_write(const CtrlMessage& message, int64_t now_ns) {
  now_ns_ = now_ns;
  ack_type_ = message.type;
  ack_sequence_ = next_control_++;
  control_size_ = static_cast<uint16_t>(
      wire::encode_control(wire::Kind::kControl, envelope(ack_sequence_), message,
                           control_datagram_, sizeof control_datagram_));
  control_write_ = ControlWrite::kAwaitingAck;
  control_attempts_ = 0;
  send_control_attempt();
}

int32_t LinkCore::control_write_result() {
  const ControlWrite outcome = control_write_;
  control_write_ = ControlWrite::kIdle;
  switch (outcome) {
    case ControlWrite::kAcked:
      return 0;
    case ControlWrite::kRefused:
      return ZELBOR_ERR_REFUSED;
    case ControlWrite::kSendFailed:
      return ERR_SOCKET;
    case ControlWrite::kIdle:
    case ControlWrite::kAwaitingAck:
    case ControlWrite::kNoAnswer:
      break;
  }
  return ZELBOR_ERR_NO_ANSWER;
}

void LinkCore::begin_stop(int64_t now_ns) {
  now_ns_ = now_ns;
  control_write_ = ControlWrite::kIdle;
  send_signal(wire::Kind::kBye);
  if (!knows_device_) {
    phase_ = Phase::kNeverHeard;
    return;
  }
  // Delivered and unread: the program chose to stop. What arrives until the
  // answer is counted, not kept.
  queue_.init();
  phase_ = Phase::kLeaving;
  goodbye_deadline_ns_ = now_ns_ + ms(kGoodbyeWaitMs);
}

bool LinkCore::read_control(CtrlMessage& message) {
  if (controls_.empty()) {
    return false;
  }
  message = controls_.front();
  controls_.pop_front();
  return true;
}

bool LinkCore::read_frame(RawCanMessage& message) {
  frames_read_ = true;
  if (!queue_.pop_frame(message)) {
    return false;
  }
  ++counters_.frames_delivered;
  return true;
}

int32_t LinkCore::check_write(const RawCanMessage* frames, int32_t count) const {
  constexpr auto kPerDatagram = static_cast<int32_t>(wire::kMaxFramesPerDatagram);
  if (count < 0 || (count > 0 && frames == nullptr) || count > kHeldBatches * kPerDatagram) {
    return ZELBOR_ERR_ARGUMENT;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (!rawcan::is_valid_length(frames[i].length)) {
      return ZELBOR_ERR_ARGUMENT;
    }
  }
  const int datagrams = (count + kPerDatagram - 1) / kPerDatagram;
  return held_.size() + static_cast<std::size_t>(datagrams) > held_.capacity() ? ZELBOR_ERR_BACKLOG
                                                                               : 0;
}

void LinkCore::write_frames(const RawCanMessage* frames, int32_t count, int64_t now_ns) {
  constexpr auto kPerDatagram = static_cast<int32_t>(wire::kMaxFramesPerDatagram);
  now_ns_ = now_ns;
  for (int32_t done = 0; done < count;) {
    const int32_t chunk = count - done < kPerDatagram ? count - done : kPerDatagram;
    HeldBatch* held = held_.grow_back();
    if (held == nullptr) {
      return;  // check_write() refuses what does not fit; never here
    }
    HeldBatch& batch = *held;
    batch.number = next_batch_++;
    batch.count = static_cast<uint16_t>(chunk);
    for (int32_t i = 0; i < chunk; ++i) {
      batch.frames[i] = frames[done + i];
    }
    send_batch(batch);
    counters_.frames_out += static_cast<uint64_t>(chunk);
    done += chunk;
  }
}

void LinkCore::status(int64_t now_ns, ZelborLinkStatus& status) const {
  const int64_t wake_ns = next_wake_ns() == kNever ? 0 : next_wake_ns() - now_ns;
  // Rounded up, so a caller that waits that long finds the resend or HELLO due.
  // Frames or records that an earlier call took off the socket wake no poll():
  // the caller must read them now.
  status.wake_within_ms =
      has(Want::kFrames) || has(Want::kControl)
          ? 0
          : static_cast<int32_t>(wake_ns <= 0 ? 0 : (wake_ns + kNsPerMs - 1) / kNsPerMs);
  status.device_silent_ms = -1;
  if (knows_device_) {
    const int64_t silent_ms = (now_ns - device_heard_ns_) / kNsPerMs;
    status.device_silent_ms = static_cast<int32_t>(silent_ms < INT32_MAX ? silent_ms : INT32_MAX);
  }
  status.frames_held = 0;
  for (std::size_t i = 0; i < held_.size(); ++i) {
    status.frames_held += held_[i].count;
  }
  status.batches_held = static_cast<uint32_t>(held_.size());
}

bool LinkCore::consistent() const {
  if (lent_count_ != 0 || !outbox_.empty() || !queue_.consistent()) {
    return false;
  }
  for (std::size_t i = 0; i < held_.size(); ++i) {
    const HeldBatch& batch = held_[i];
    const uint32_t expected = next_batch_ - static_cast<uint32_t>(held_.size() - i);
    if (batch.number != expected || batch.count == 0 || batch.count > wire::kMaxFramesPerDatagram) {
      return false;
    }
  }
  return true;
}

}  // namespace zelbor
