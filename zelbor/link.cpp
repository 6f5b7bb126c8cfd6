#include "link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <type_traits>

#include "clock.h"
#include "sequence.h"
#include "wire.h"

namespace zelbor {
namespace {

constexpr uint64_t kStartedMagic = 0x5A454C424F524C4BULL;  // "ZELBORLK"
constexpr int kSlots = 96;
constexpr std::size_t kSlotBytes = 1472;  // the largest UDP payload of an Ethernet frame
constexpr int kControlQueue = 32;
constexpr int kSendAttempts = 20;
constexpr int kSendBackoffMs = 1;

static_assert(kSlotBytes >= wire::kMaxDatagram);

struct LinkState {
  uint64_t magic;
  int fd;
  const SocketOps* ops;
  sockaddr_in device;
  uint32_t own_session;
  uint32_t send_sequence;
  int64_t last_send_ns;
  SequenceTracker from_device;
  RecentSequences delivered_controls;

  bool ack_pending;
  bool ack_received;
  uint32_t ack_sequence;

  // Received frame datagrams waiting to be read, oldest first, as slot indices.
  uint16_t frame_fifo[kSlots];
  int fifo_head;
  int fifo_count;
  uint16_t frame_cursor;  // next frame of the oldest datagram
  uint16_t free_slots[kSlots];
  int free_count;
  uint16_t slot_frames[kSlots];  // frames held by each slot of the fifo

  CtrlMessage controls[kControlQueue];
  int control_head;
  int control_count;

  ZelborCounters counters;

  mmsghdr headers[kSlots];
  iovec vectors[kSlots];
  sockaddr_in sources[kSlots];
  uint16_t batch_slots[kSlots];
  uint8_t transmit[wire::kMaxDatagram];
  uint8_t slots[kSlots][kSlotBytes];
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

// Sends one datagram. A temporary failure (EINTR, EAGAIN, ENOBUFS, or an
// ECONNREFUSED left by an earlier ICMP error) is retried a bounded number of
// times, waiting at most kSendBackoffMs between tries; anything else, or
// running out of tries, is a lasting failure.
bool send_datagram(LinkState& link, const uint8_t* bytes, std::size_t size) {
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    const ssize_t sent =
        link.ops->send_to(link.fd, bytes, size, MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr*>(&link.device), sizeof link.device);
    if (sent == static_cast<ssize_t>(size)) {
      ++link.counters.datagrams_out;
      link.last_send_ns = monotonic_ns();
      return true;
    }
    if (sent >= 0) {
      break;  // a datagram socket never sends part of a datagram
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
      ++link.counters.send_retries;
      pollfd writable{link.fd, POLLOUT, 0};
      link.ops->poll_one(&writable, kSendBackoffMs);
    } else if (error == EINTR || error == ECONNREFUSED) {
      ++link.counters.send_retries;
    } else {
      break;
    }
  }
  ++link.counters.send_failures;
  return false;
}

bool send_hello(LinkState& link) {
  const uint32_t known = link.from_device.have_session ? link.from_device.session : 0;
  const std::size_t size = wire::encode_hello(link.own_session, link.send_sequence++, known,
                                              link.transmit, sizeof link.transmit);
  return send_datagram(link, link.transmit, size);
}

void send_ack(LinkState& link, uint16_t acked_type, uint32_t acked_sequence) {
  const std::size_t size = wire::encode_ack(link.own_session, link.send_sequence++, acked_type,
                                            acked_sequence, link.transmit, sizeof link.transmit);
  send_datagram(link, link.transmit, size);
}

// While the program only reads, the device still has to hear from it now and
// then, so a device that restarted learns where to send again.
void keep_alive(LinkState& link) {
  if (monotonic_ns() - link.last_send_ns >= int64_t{kKeepaliveIntervalMs} * 1000000) {
    send_hello(link);
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

void release_oldest_frames(LinkState& link) {
  const uint16_t slot = link.frame_fifo[link.fifo_head];
  link.fifo_head = (link.fifo_head + 1) % kSlots;
  --link.fifo_count;
  link.frame_cursor = 0;
  link.free_slots[link.free_count++] = slot;
}

// Makes room when every slot holds frames nobody has read: a control record
// or an ack must not be stuck behind them.
void drop_oldest_frames(LinkState& link) {
  const uint16_t slot = link.frame_fifo[link.fifo_head];
  link.counters.frames_overflowed += link.slot_frames[slot] - link.frame_cursor;
  release_oldest_frames(link);
}

bool from_device(const LinkState& link, const sockaddr_in& source) {
  return source.sin_family == AF_INET && source.sin_addr.s_addr == link.device.sin_addr.s_addr &&
         source.sin_port == link.device.sin_port;
}

// Sorts one received datagram; returns true if its slot now holds frames.
bool accept_datagram(LinkState& link, const mmsghdr& message, const sockaddr_in& source,
                     const uint8_t* bytes) {
  if (!from_device(link, source)) {
    ++link.counters.foreign;
    return false;
  }
  wire::Datagram datagram{};
  if ((message.msg_hdr.msg_flags & MSG_TRUNC) != 0 ||
      wire::decode(bytes, message.msg_len, datagram) != wire::DecodeError::kNone) {
    ++link.counters.malformed;
    return false;
  }
  const wire::Header& header = datagram.header;
  const SequenceResult order = track(link.from_device, header.session, header.sequence);
  if (order.verdict == SequenceVerdict::kNewSession) {
    ++link.counters.device_restarts;
    link.delivered_controls.clear();
  }
  if (order.verdict == SequenceVerdict::kStale) {
    // The device repeats a control record until it hears our ack; a repeat
    // that fills a gap is delivered, one already delivered is only re-acked.
    if (header.kind != wire::Kind::kControl) {
      ++link.counters.stale;
      return false;
    }
    if (link.delivered_controls.contains(header.sequence)) {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      send_ack(link, record.type, header.sequence);
      ++link.counters.stale;
      return false;
    }
    if (link.counters.frames_lost > 0) {
      --link.counters.frames_lost;
    }
  }
  link.counters.frames_lost += order.gap;
  ++link.counters.datagrams_in;

  switch (header.kind) {
    case wire::Kind::kFrames:
      link.counters.frames_in += header.count;
      return true;
    case wire::Kind::kControl: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      link.delivered_controls.add(header.sequence);
      queue_control(link, record);
      send_ack(link, record.type, header.sequence);
      return false;
    }
    case wire::Kind::kAck: {
      CtrlMessage record{};
      wire::control_record(datagram, record);
      uint16_t acked_type = 0;
      uint32_t acked_sequence = 0;
      // Only the ack of the write in progress counts; late repeats are dropped.
      if (wire::parse_ack(record, acked_type, acked_sequence) && link.ack_pending &&
          acked_sequence == link.ack_sequence) {
        link.ack_pending = false;
        link.ack_received = true;
        queue_control(link, record);
      }
      return false;
    }
    case wire::Kind::kHello:
    case wire::Kind::kBye:
      return false;
  }
  return false;
}

// Takes whatever has arrived, without waiting, into free slots.
void receive_pending(LinkState& link) {
  keep_alive(link);
  const int batch = link.free_count;
  if (batch == 0) {
    return;
  }
  for (int i = 0; i < batch; ++i) {
    const uint16_t slot = link.free_slots[link.free_count - 1 - i];
    link.batch_slots[i] = slot;
    link.vectors[i] = iovec{link.slots[slot], kSlotBytes};
    msghdr& header = link.headers[i].msg_hdr;
    header = msghdr{};
    header.msg_name = &link.sources[i];
    header.msg_namelen = sizeof link.sources[i];
    header.msg_iov = &link.vectors[i];
    header.msg_iovlen = 1;
    link.headers[i].msg_len = 0;
  }
  int received = 0;
  do {
    received =
        link.ops->receive_many(link.fd, link.headers, static_cast<unsigned>(batch), MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received <= 0) {
    return;  // nothing waiting, or an error reported by an earlier send: both mean no data
  }
  link.free_count -= batch;
  for (int i = 0; i < batch; ++i) {
    const uint16_t slot = link.batch_slots[i];
    if (i < received && accept_datagram(link, link.headers[i], link.sources[i], link.slots[slot])) {
      link.frame_fifo[(link.fifo_head + link.fifo_count) % kSlots] = slot;
      link.slot_frames[slot] =
          static_cast<uint16_t>((link.headers[i].msg_len - wire::kHeaderSize) / wire::kFrameSize);
      ++link.fifo_count;
    } else {
      link.free_slots[link.free_count++] = slot;
    }
  }
}

int32_t wait_readable(LinkState& link, int timeout_ms) {
  pollfd readable{link.fd, POLLIN, 0};
  return link.ops->poll_one(&readable, timeout_ms);
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
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return ERR_SOCKET;
  }
  // Ask for room for bursts; as root the limit can be passed, otherwise the
  // system grants what it allows.
  const int buffer_bytes = kReceiveBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer_bytes, sizeof buffer_bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
  }
  sockaddr_in host{};
  host.sin_family = AF_INET;
  host.sin_addr.s_addr = htonl(host_address);
  host.sin_port = htons(static_cast<uint16_t>(first_port));
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&host), sizeof host) != 0) {
    ::close(fd);
    return ERR_SOCKET;
  }

  auto* link = new (state) LinkState{};
  link->fd = fd;
  link->ops = &system_socket_ops();
  link->device.sin_family = AF_INET;
  link->device.sin_addr.s_addr = htonl(device_address);
  link->device.sin_port = htons(static_cast<uint16_t>(second_port));
  link->own_session = random_nonzero_u32();
  for (int i = 0; i < kSlots; ++i) {
    link->free_slots[i] = static_cast<uint16_t>(kSlots - 1 - i);
  }
  link->free_count = kSlots;
  link->magic = kStartedMagic;
  send_hello(*link);  // a device that is not there yet is no failure
  return 0;
}

int32_t link_stop(InterfaceState* state) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return 0;
  }
  const std::size_t size = wire::encode_bye(link->own_session, link->send_sequence++,
                                            link->transmit, sizeof link->transmit);
  send_datagram(*link, link->transmit, size);
  ::close(link->fd);
  link->magic = 0;
  link->fd = -1;
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
  uint8_t datagram[wire::kHeaderSize + sizeof(CtrlMessage)];
  const uint32_t sequence = link->send_sequence++;
  const std::size_t size = wire::encode_control(wire::Kind::kControl, link->own_session, sequence,
                                                *message, datagram, sizeof datagram);
  link->ack_pending = true;
  link->ack_received = false;
  link->ack_sequence = sequence;
  for (int attempt = 0; attempt < kAckAttempts; ++attempt) {
    if (!send_datagram(*link, datagram, size)) {
      link->ack_pending = false;
      return ERR_SOCKET;
    }
    const int64_t deadline = monotonic_ns() + int64_t{kAckWaitMs} * 1000000;
    for (;;) {
      if (link->free_count == 0) {
        drop_oldest_frames(*link);
      }
      receive_pending(*link);
      if (link->ack_received) {
        return 0;
      }
      const int64_t remaining_ns = deadline - monotonic_ns();
      if (remaining_ns <= 0) {
        break;
      }
      wait_readable(*link, static_cast<int>((remaining_ns + 999999) / 1000000));
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
    if (link->free_count == 0) {
      drop_oldest_frames(*link);
    }
    receive_pending(*link);
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
  if (link->fifo_count == 0) {
    receive_pending(*link);
    if (link->fifo_count == 0) {
      return ERR_NO_DATA;
    }
  }
  const uint16_t slot = link->frame_fifo[link->fifo_head];
  wire::Datagram datagram{};
  datagram.payload = link->slots[slot] + wire::kHeaderSize;
  wire::frame_at(datagram, link->frame_cursor, *message);
  ++link->counters.frames_delivered;
  if (++link->frame_cursor == link->slot_frames[slot]) {
    release_oldest_frames(*link);
  }
  return 0;
}

int32_t link_raw_can_write(InterfaceState* state, const RawCanMessage* frames, int32_t count) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  if (count < 0 || (count > 0 && frames == nullptr)) {
    return ZELBOR_ERR_ARGUMENT;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (frames[i].length < 0 || frames[i].length > RAW_CAN_MAX_DATA) {
      return ZELBOR_ERR_ARGUMENT;
    }
  }
  for (int32_t done = 0; done < count;) {
    const auto chunk =
        static_cast<std::size_t>(count - done < static_cast<int32_t>(wire::kMaxFramesPerDatagram)
                                     ? count - done
                                     : static_cast<int32_t>(wire::kMaxFramesPerDatagram));
    const std::size_t size =
        wire::encode_frames(link->own_session, link->send_sequence++, frames + done, chunk,
                            link->transmit, sizeof link->transmit);
    if (!send_datagram(*link, link->transmit, size)) {
      return ERR_SOCKET;
    }
    link->counters.frames_out += chunk;
    done += static_cast<int32_t>(chunk);
  }
  return 0;
}

int32_t link_counters(const InterfaceState* state, ZelborCounters* counters) {
  if (state == nullptr || counters == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  const auto* link = reinterpret_cast<const LinkState*>(state);
  if (link->magic != kStartedMagic) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  *counters = link->counters;
  return 0;
}

void link_set_socket_ops(InterfaceState* state, const SocketOps* ops) {
  if (LinkState* link = started(state)) {
    link->ops = ops != nullptr ? ops : &system_socket_ops();
  }
}

}  // namespace zelbor
