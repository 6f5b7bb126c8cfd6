#include "link.h"

#include <new>
#include <type_traits>

#include "clock.h"
#include "frame_queue.h"
#include "stream.h"
#include "udp.h"
#include "wire.h"

namespace zelbor {
namespace {

constexpr uint64_t kStartedMagic = 0x5A454C424F524C4BULL;  // "ZELBORLK"
constexpr uint64_t kStoppedMagic = 0x5A454C424F525354ULL;  // "ZELBORST": counters stay readable
constexpr int kControlQueue = 32;
constexpr int kReceiveRounds = 64;  // bounds one call's work under a flood
constexpr int64_t kNsPerMs = 1'000'000;

// A frame datagram sent to the device and held until the device takes it.
struct HeldBatch {
  uint32_t number;
  uint16_t count;
  int64_t sent_ns;
  RawCanMessage frames[wire::kMaxFramesPerDatagram];
};

// What a call is waiting for; receiving stops once it is there.
enum class Want { kFrames, kControl, kAck, kGoodbye, kEverything };

struct LinkState {
  uint64_t magic;
  SocketHandle socket;
  const SocketOps* ops;
  sockaddr_in device;
  uint32_t own_session;
  uint32_t run_start_ms;  // tells the device which of two runs on one endpoint is newer
  int64_t last_send_ns;

  // The device's session with this host, and the streams it numbers.
  bool knows_device;
  uint32_t device_session;
  int64_t device_heard_ns;  // the last valid datagram of the device's current session
  uint32_t earlier_device_session;
  StreamTracker frames_from_device{kFrameWindow, kFrameWindow};
  StreamTracker controls_from_device{kControlWindowAhead, DeliveredWindow::kSpan};
  DeliveredWindow delivered_controls;

  // This host's own numbering.
  uint32_t next_control;
  uint32_t next_batch;

  bool ack_pending;
  bool ack_received;
  bool refused;
  bool leaving;  // BYE sent: frames that arrive are counted, not kept
  bool goodbye_received;
  uint16_t ack_type;  // the pending control write's record
  uint32_t ack_sequence;

  HeldBatch held[kHeldBatches];
  int held_head;
  int held_count;

  CtrlMessage controls[kControlQueue];
  int control_head;
  int control_count;

  ZelborCounters counters;

  FrameQueue queue;
  DatagramSlot received[FrameQueue::kSlots];
  uint16_t lent[FrameQueue::kSlots];
  uint8_t transmit[wire::kMaxDatagram];
};

static_assert(sizeof(LinkState) <= sizeof(InterfaceState), "link state fits InterfaceState");
static_assert(alignof(LinkState) <= alignof(InterfaceState), "InterfaceState aligns it");
static_assert(std::is_trivially_destructible_v<LinkState>);

LinkState* started(InterfaceState* state) {
  if (state == nullptr) {
    return nullptr;
  }
  auto* link = reinterpret_cast<LinkState*>(state);
  return link->magic == kStartedMagic ? link : nullptr;
}

uint32_t oldest_unacknowledged(const LinkState& link) {
  return link.held_count > 0 ? link.held[link.held_head].number : link.next_batch;
}

wire::Envelope envelope(const LinkState& link, uint32_t sequence) {
  return {link.own_session, link.knows_device ? link.device_session : 0, sequence,
          oldest_unacknowledged(link)};
}

bool send_datagram(LinkState& link, const uint8_t* bytes, std::size_t size) {
  udp::SendTally tally{};
  const bool sent = udp::send_datagram(*link.ops, link.socket, bytes, size, link.device, tally);
  link.counters.send_retries += tally.retries;
  link.counters.send_failures += tally.failures;
  if (sent) {
    ++link.counters.datagrams_out;
    link.last_send_ns = monotonic_ns();
  }
  return sent;
}

bool send_signal(LinkState& link, wire::Kind kind) {
  const uint32_t sequence = kind == wire::Kind::kHello ? link.run_start_ms : 0;
  const std::size_t size =
      wire::encode_signal(kind, envelope(link, sequence), link.transmit, sizeof link.transmit);
  return send_datagram(link, link.transmit, size);
}

void send_ack(LinkState& link, uint16_t acked_type, uint32_t acked_sequence) {
  const std::size_t size = wire::encode_ack(envelope(link, 0), acked_type, acked_sequence,
                                            link.transmit, sizeof link.transmit);
  send_datagram(link, link.transmit, size);
}

void send_batch(LinkState& link, HeldBatch& batch, int64_t now_ns) {
  batch.sent_ns = now_ns;
  const std::size_t size = wire::encode_frames(envelope(link, batch.number), batch.frames,
                                               batch.count, link.transmit, sizeof link.transmit);
  send_datagram(link, link.transmit, size);
}

// The device acknowledges frame datagrams by the number of the next one it
// will take; everything before it is on the bus and need not be held.
void release_taken(LinkState& link, uint32_t next_taken) {
  while (link.held_count > 0 && is_after(next_taken, link.held[link.held_head].number)) {
    link.held_head = (link.held_head + 1) % kHeldBatches;
    --link.held_count;
  }
}

// Runs on every call that receives: frames the device has not taken go again
// (all held, in order, as the device takes them only in order), and a host
// that has been quiet tells the device it is still there.
void keep_link_alive(LinkState& link) {
  const int64_t now = monotonic_ns();
  if (link.held_count > 0 &&
      now - link.held[link.held_head].sent_ns >= int64_t{kResendIntervalMs} * kNsPerMs) {
    for (int i = 0; i < link.held_count; ++i) {
      send_batch(link, link.held[(link.held_head + i) % kHeldBatches], now);
    }
    link.counters.batches_resent += static_cast<uint64_t>(link.held_count);
  }
  if (now - link.last_send_ns >= int64_t{kKeepaliveIntervalMs} * kNsPerMs) {
    send_signal(link, wire::Kind::kHello);
  }
}

void queue_control(LinkState& link, const CtrlMessage& record) {
  if (link.control_count == kControlQueue) {
    link.control_head = (link.control_head + 1) % kControlQueue;
    --link.control_count;
    ++link.counters.controls_overflowed;
  }
  const int tail = (link.control_head + link.control_count) % kControlQueue;
  link.controls[tail] = record;
  ++link.control_count;
}

void add_lost(uint64_t& counter, int64_t lost) {
  if (lost >= 0) {
    counter += static_cast<uint64_t>(lost);
  } else {
    counter -= counter < static_cast<uint64_t>(-lost) ? counter : static_cast<uint64_t>(-lost);
  }
}

bool from_device(const LinkState& link, const sockaddr_in& source) {
  return source.sin_family == AF_INET && source.sin_addr.s_addr == link.device.sin_addr.s_addr &&
         source.sin_port == link.device.sin_port;
}

// A datagram from a session of the device other than the current one: the
// device restarted, or let this host go long enough to forget it. Returns
// false for a late datagram of the session before, which is dropped.
bool follow_device_session(LinkState& link, uint32_t session) {
  if (link.knows_device && session == link.device_session) {
    return true;
  }
  if (link.knows_device && session == link.earlier_device_session) {
    return false;
  }
  if (link.knows_device) {
    ++link.counters.device_restarts;
    link.earlier_device_session = link.device_session;
  }
  link.knows_device = true;
  link.device_session = session;
  link.frames_from_device.reset();
  link.controls_from_device.reset();
  link.delivered_controls.reset(0);
  return true;
}

// Returns how many frames of the datagram to queue for reading: 0 unless it
// is the device's next frames.
uint16_t accept_frames(LinkState& link, const wire::Header& header, int64_t now_ns) {
  const auto result = link.frames_from_device.place(header.envelope.sequence, header.count, now_ns);
  switch (result.place) {
    case StreamTracker::Place::kMoved:
      ++link.counters.resyncs;
      [[fallthrough]];
    case StreamTracker::Place::kNext:
    case StreamTracker::Place::kAhead:
      add_lost(link.counters.frames_lost, result.lost);
      link.counters.frames_in += header.count;
      return header.count;
    case StreamTracker::Place::kBehind:
      ++link.counters.stale;
      return 0;
    case StreamTracker::Place::kOutside:
      ++link.counters.out_of_window;
      return 0;
  }
  return 0;
}

// Every control record from the device is delivered once, however often the
// device repeats it, and every copy within the window is acknowledged.
void accept_control(LinkState& link, const wire::Datagram& datagram, int64_t now_ns) {
  const uint32_t number = datagram.header.envelope.sequence;
  CtrlMessage record{};
  wire::control_record(datagram, record);
  const auto result = link.controls_from_device.place(number, 1, now_ns);
  bool deliver = true;
  switch (result.place) {
    case StreamTracker::Place::kNext:
    case StreamTracker::Place::kAhead:
      link.delivered_controls.advance(number + 1);
      break;
    case StreamTracker::Place::kMoved:
      ++link.counters.resyncs;
      link.delivered_controls.reset(number + 1);
      break;
    case StreamTracker::Place::kBehind:
      deliver =
          link.delivered_controls.covers(number) && !link.delivered_controls.delivered(number);
      if (deliver) {
        add_lost(link.counters.controls_lost, -1);  // a late one fills its gap
      } else {
        ++link.counters.stale;
      }
      break;
    case StreamTracker::Place::kOutside:
      ++link.counters.out_of_window;
      return;  // unacknowledged, so a genuine record is repeated
  }
  add_lost(link.counters.controls_lost, result.lost);
  if (deliver) {
    link.delivered_controls.mark(number);
    queue_control(link, record);
  }
  send_ack(link, record.type, number);
}

void accept_ack(LinkState& link, const wire::Datagram& datagram) {
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
    if (link.leaving && !link.goodbye_received) {
      link.goodbye_received = true;
      add_lost(link.counters.frames_lost, link.frames_from_device.end_at(acked_sequence));
    }
    return;
  }
  if (acked_type != wire::kFramesAckedType && link.ack_pending && acked_type == link.ack_type &&
      acked_sequence == link.ack_sequence) {
    link.ack_pending = false;
    link.ack_received = true;
    queue_control(link, record);
  }
}

// Sorts one received datagram; returns the frames its slot now holds for reading.
uint16_t accept_datagram(LinkState& link, const DatagramSlot& received, int64_t now_ns) {
  if (!from_device(link, received.source)) {
    ++link.counters.foreign;
    return 0;
  }
  wire::Datagram datagram{};
  if (received.cut ||
      wire::decode(received.bytes, received.size, datagram) != wire::DecodeError::kNone ||
      datagram.header.kind == wire::Kind::kHello || datagram.header.kind == wire::Kind::kBye) {
    ++link.counters.malformed;
    return 0;
  }
  const wire::Header& header = datagram.header;
  if (header.envelope.peer != link.own_session) {
    ++link.counters.foreign;  // meant for an earlier run on this endpoint
    return 0;
  }
  if (header.kind == wire::Kind::kRefused) {
    ++link.counters.datagrams_in;
    link.refused = link.ack_pending;
    return 0;
  }
  if (!follow_device_session(link, header.envelope.session)) {
    ++link.counters.stale;
    return 0;
  }
  ++link.counters.datagrams_in;
  link.device_heard_ns = now_ns;
  release_taken(link, header.envelope.ack);
  switch (header.kind) {
    case wire::Kind::kFrames:
      return accept_frames(link, header, now_ns);
    case wire::Kind::kControl:
      accept_control(link, datagram, now_ns);
      return 0;
    case wire::Kind::kAck:
      accept_ack(link, datagram);
      return 0;
    default:
      return 0;
  }
}

bool have_wanted(const LinkState& link, Want want) {
  switch (want) {
    case Want::kFrames:
      return !link.queue.empty();
    case Want::kControl:
      return link.control_count > 0;
    case Want::kAck:
      return link.ack_received || link.refused;
    case Want::kGoodbye:
      return link.goodbye_received;
    case Want::kEverything:
      return false;
  }
  return false;
}

// Takes what has arrived, without waiting, until what the caller wants is
// there or nothing more is waiting; a flood of other datagrams costs time,
// not a false "no data". Bounded, so no flood holds a call for long.
void receive_rounds(LinkState& link, Want want) {
  for (int round = 0; round < kReceiveRounds && !have_wanted(link, want); ++round) {
    if (link.queue.free_count() == 0) {
      // Unread frames must not hold back a control record or an ack.
      link.counters.frames_overflowed += link.queue.drop_oldest();
    }
    const int batch = link.queue.lend(link.lent, FrameQueue::kSlots);
    for (int i = 0; i < batch; ++i) {
      link.received[i].bytes = link.queue.bytes(link.lent[i]);
      link.received[i].capacity = FrameQueue::kSlotBytes;
    }
    const int received = udp::receive_batch(*link.ops, link.socket, link.received, batch);
    const int64_t now = received > 0 ? monotonic_ns() : 0;
    for (int i = 0; i < batch; ++i) {
      const uint16_t frames = i < received ? accept_datagram(link, link.received[i], now) : 0;
      if (frames > 0 && !link.leaving) {
        link.queue.push(link.lent[i], frames);
      } else {
        link.queue.give_back(link.lent[i]);
      }
    }
    if (received < batch) {
      return;  // the socket is empty
    }
  }
}

// Acks that arrived are taken first, so only frames the device has not taken
// are sent again.
void receive_pending(LinkState& link, Want want) {
  receive_rounds(link, want);
  keep_link_alive(link);
}

int32_t wait_readable(LinkState& link, int timeout_ms) {
  return link.ops->wait(link.socket, false, timeout_ms);
}

// Takes what arrives until what `want` names is there, for at most
// `wait_ms`; true if it came. With `keep_alive`, held frames go again and
// the device keeps hearing from this host meanwhile.
bool receive_until(LinkState& link, Want want, int wait_ms, bool keep_alive) {
  const int64_t deadline = monotonic_ns() + int64_t{wait_ms} * kNsPerMs;
  for (;;) {
    if (keep_alive) {
      receive_pending(link, want);
    } else {
      receive_rounds(link, want);
    }
    if (have_wanted(link, want)) {
      return true;
    }
    const int64_t remaining_ns = deadline - monotonic_ns();
    if (remaining_ns <= 0) {
      return false;
    }
    wait_readable(link, static_cast<int>((remaining_ns + kNsPerMs - 1) / kNsPerMs));
  }
}

// After BYE the device sends what it still held for this host, then its
// answer with the number of the next frame it would have sent. Frames that
// arrive meanwhile are not read (the program stops) but their numbers
// count, and the answer counts frames the device dropped while this host was
// away, which no later datagram will reveal. Bounded: a device that does not
// answer costs kGoodbyeWaitMs.
void take_goodbye(LinkState& link) {
  link.queue.init();  // delivered and unread: the program chose to stop
  link.leaving = true;
  receive_until(link, Want::kGoodbye, kGoodbyeWaitMs, false);
}

}  // namespace

int32_t link_start(InterfaceState* state, uint32_t device_address, uint32_t host_address,
                   int32_t first_port, int32_t second_port, int32_t channel) {
  (void)channel;  // the ports already name the channel's endpoints
  if (state == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  if (started(state) != nullptr) {
    link_stop(state);
  }
  if (first_port <= 0 || first_port > 65535 || second_port <= 0 || second_port > 65535) {
    return ERR_SOCKET;
  }
  const SocketHandle socket =
      open_udp_socket(host_address, static_cast<uint16_t>(first_port), udp::kReceiveBufferBytes);
  if (socket == kNoSocket) {
    return ERR_SOCKET;
  }

  auto* link = new (state) LinkState{};
  link->socket = socket;
  link->ops = &system_socket_ops();
  link->device = ipv4_endpoint(device_address, static_cast<uint16_t>(second_port));
  link->own_session = random_nonzero_u32();
  link->run_start_ms = static_cast<uint32_t>(monotonic_ns() / kNsPerMs);
  link->queue.init();
  link->magic = kStartedMagic;
  send_signal(*link, wire::Kind::kHello);  // a device that is not there yet is no failure
  return 0;
}

int32_t link_stop(InterfaceState* state) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return 0;
  }
  send_signal(*link, wire::Kind::kBye);
  if (link->knows_device) {
    take_goodbye(*link);
  }
  close_socket(link->socket);
  link->magic = kStoppedMagic;
  link->socket = kNoSocket;
  return 0;
}

int32_t link_ctrl_write(InterfaceState* state, const CtrlMessage* message) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  if (message == nullptr || message->length > CTRL_MESSAGE_DATA_CAPACITY) {
    return ZELBOR_ERR_ARGUMENT;
  }
  uint8_t datagram[wire::kMaxControlDatagram];
  const uint32_t sequence = link->next_control++;
  const std::size_t size = wire::encode_control(wire::Kind::kControl, envelope(*link, sequence),
                                                *message, datagram, sizeof datagram);
  link->ack_pending = true;
  link->ack_received = false;
  link->refused = false;
  link->ack_type = message->type;
  link->ack_sequence = sequence;
  for (int attempt = 0; attempt < kAckAttempts; ++attempt) {
    if (!link->knows_device) {
      // A device that has not heard this run's HELLO may not take its records.
      send_signal(*link, wire::Kind::kHello);
    }
    if (!send_datagram(*link, datagram, size)) {
      link->ack_pending = false;
      return ERR_SOCKET;
    }
    if (receive_until(*link, Want::kAck, kAckWaitMs, true)) {
      link->ack_pending = false;
      return link->ack_received ? 0 : ZELBOR_ERR_REFUSED;
    }
  }
  link->ack_pending = false;
  return ZELBOR_ERR_NO_ANSWER;
}

int32_t link_ctrl_read(InterfaceState* state, CtrlMessage* message) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ERR_NO_DATA;
  }
  if (message == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  // An empty read waits up to kControlWaitMs for a record, so a program that
  // polls again at once does not spin; a record that arrives meanwhile is
  // returned at once.
  for (int attempt = 0; attempt < 2 && link->control_count == 0; ++attempt) {
    if (attempt > 0) {
      wait_readable(*link, kControlWaitMs);
    }
    receive_pending(*link, Want::kControl);
  }
  if (link->control_count == 0) {
    return ERR_NO_DATA;
  }
  *message = link->controls[link->control_head];
  link->control_head = (link->control_head + 1) % kControlQueue;
  --link->control_count;
  return 0;
}

int32_t link_raw_can_read(InterfaceState* state, RawCanMessage* message) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ERR_NO_DATA;
  }
  if (message == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  if (link->queue.empty()) {
    receive_pending(*link, Want::kFrames);
  }
  if (!link->queue.pop_frame(*message)) {
    return ERR_NO_DATA;
  }
  ++link->counters.frames_delivered;
  return 0;
}

int32_t link_raw_can_write(InterfaceState* state, const RawCanMessage* frames, int32_t count) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  constexpr auto kPerDatagram = static_cast<int32_t>(wire::kMaxFramesPerDatagram);
  if (count < 0 || (count > 0 && frames == nullptr) || count > kHeldBatches * kPerDatagram) {
    return ZELBOR_ERR_ARGUMENT;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (frames[i].length < 0 || frames[i].length > RAW_CAN_MAX_DATA) {
      return ZELBOR_ERR_ARGUMENT;
    }
  }
  // All or nothing: the frames are taken only if every datagram can be held
  // until the device takes it.
  const int datagrams = (count + kPerDatagram - 1) / kPerDatagram;
  if (link->held_count + datagrams > kHeldBatches) {
    receive_pending(*link, Want::kEverything);  // acks that arrived may free room
    if (link->held_count + datagrams > kHeldBatches) {
      return ZELBOR_ERR_BACKLOG;
    }
  }
  const int64_t now = monotonic_ns();
  for (int32_t done = 0; done < count;) {
    const int32_t chunk = count - done < kPerDatagram ? count - done : kPerDatagram;
    HeldBatch& batch = link->held[(link->held_head + link->held_count) % kHeldBatches];
    ++link->held_count;
    batch.number = link->next_batch++;
    batch.count = static_cast<uint16_t>(chunk);
    for (int32_t i = 0; i < chunk; ++i) {
      batch.frames[i] = frames[done + i];
    }
    send_batch(*link, batch, now);  // a failed send is retried with the held ones
    link->counters.frames_out += static_cast<uint64_t>(chunk);
    done += chunk;
  }
  return 0;
}

int32_t link_counters(const InterfaceState* state, ZelborCounters* counters) {
  if (state == nullptr || counters == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  const auto* link = reinterpret_cast<const LinkState*>(state);
  if (link->magic != kStartedMagic && link->magic != kStoppedMagic) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  *counters = link->counters;
  return 0;
}

int32_t link_status(const InterfaceState* state, ZelborLinkStatus* status) {
  if (state == nullptr || status == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  *status = {-1, 0, -1, 0, 0};
  const auto* link = reinterpret_cast<const LinkState*>(state);
  if (link->magic != kStartedMagic) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  const int64_t now = monotonic_ns();
  int64_t wake_ns = link->last_send_ns + int64_t{kKeepaliveIntervalMs} * kNsPerMs - now;
  if (link->held_count > 0) {
    const int64_t resend_ns =
        link->held[link->held_head].sent_ns + int64_t{kResendIntervalMs} * kNsPerMs - now;
    wake_ns = resend_ns < wake_ns ? resend_ns : wake_ns;
  }
  // Rounded up, so a caller that waits that long finds the resend or HELLO due.
  status->wake_within_ms =
      static_cast<int32_t>(wake_ns <= 0 ? 0 : (wake_ns + kNsPerMs - 1) / kNsPerMs);
  status->descriptor = static_cast<int64_t>(link->socket);
  if (link->knows_device) {
    const int64_t silent_ms = (now - link->device_heard_ns) / kNsPerMs;
    status->device_silent_ms = static_cast<int32_t>(silent_ms < INT32_MAX ? silent_ms : INT32_MAX);
  }
  for (int i = 0; i < link->held_count; ++i) {
    status->frames_held += link->held[(link->held_head + i) % kHeldBatches].count;
  }
  status->batches_held = static_cast<uint32_t>(link->held_count);
  return 0;
}

void link_set_socket_ops(InterfaceState* state, const SocketOps* ops) {
  if (LinkState* link = started(state)) {
    link->ops = ops != nullptr ? ops : &system_socket_ops();
  }
}

}  // namespace zelbor
