// The library's shell over the link core: the socket, the clock and the
// waits. Every protocol decision is the core's.
#include "link.h"

#include <new>
#include <type_traits>

#include "clock.h"
#include "link_core.h"
#include "udp.h"

namespace zelbor {
namespace {

constexpr uint64_t kStartedMagic = 0x5A454C424F524C4BULL;  // "ZELBORLK"
constexpr uint64_t kStoppedMagic = 0x5A454C424F525354ULL;  // "ZELBORST": counters stay readable

// Made on first use, so that a link started from another file's static
// initialization finds it whole.
const LinkSystem& system_link() {
  static const LinkSystem system = {&system_socket_ops(), monotonic_ns, open_udp_socket,
                                    close_socket, random_nonzero_u32};
  return system;
}
const LinkSystem* next_system = nullptr;  // the system's own

struct LinkState {
  uint64_t magic;
  SocketHandle socket;
  const LinkSystem* system;
  const SocketOps* ops;
  sockaddr_in device;
  LinkCore core;
};

// The datagrams the core handed back go out on the link's socket, under the
// send policy.
auto socket_sender(const LinkState& link) {
  return [&link](const uint8_t* bytes, std::size_t size) {
    udp::SendTally tally{};
    const bool sent = udp::send_datagram(*link.ops, link.socket, bytes, size, link.device, tally);
    return SendResult{sent, static_cast<uint32_t>(tally.retries)};
  };
}

void transmit(LinkState& link) {
  link.core.transmit(socket_sender(link));
}

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

// Acks that arrived are taken first, so only frames the device has not taken
// are sent again.
void receive_pending(LinkState& link, Want want) {
  receive_rounds(
      link.core, want, FrameQueue::kSlots,
      [&link](DatagramSlot* slots, int count) {
        return udp::receive_batch(*link.ops, link.socket, slots, count);
      },
      [&link] { return link.ops->wait(link.socket, false, 0) > 0; }, link.system->now_ns,
      socket_sender(link));
  link.core.on_time(link.system->now_ns());
  transmit(link);
}

void wait_readable(LinkState& link, int64_t wait_ns) {
  const int64_t wait_ms = (wait_ns + kNsPerMs - 1) / kNsPerMs;  // rounded up: due when it returns
  link.ops->wait(link.socket, false, static_cast<int>(wait_ms < 0 ? 0 : wait_ms));
}

// Runs the core until the control write or the stop it began has ended;
// the core bounds both.
void run_until_answered(LinkState& link, Want want) {
  for (;;) {
    receive_pending(link, want);
    if (!link.core.waiting()) {
      return;
    }
    wait_readable(link, link.core.next_wake_ns() - link.system->now_ns());
  }
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
  const LinkSystem* system = next_system != nullptr ? next_system : &system_link();
  const SocketHandle socket = system->open_socket(host_address, static_cast<uint16_t>(first_port),
                                                  udp::kReceiveBufferBytes);
  if (socket == kNoSocket) {
    return ERR_SOCKET;
  }
  auto* link = new (state) LinkState{};
  link->socket = socket;
  link->system = system;
  link->ops = system->ops;
  link->device = ipv4_endpoint(device_address, static_cast<uint16_t>(second_port));
  link->magic = kStartedMagic;
  const int64_t now = system->now_ns();
  link->core.start(link->device, system->random_id(), static_cast<uint32_t>(now / kNsPerMs), now);
  transmit(*link);
  return 0;
}

int32_t link_stop(InterfaceState* state) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return 0;
  }
  link->core.begin_stop(link->system->now_ns());
  transmit(*link);
  run_until_answered(*link, Want::kGoodbye);
  link->system->close_socket(link->socket);
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
  link->core.begin_control_write(*message, link->system->now_ns());
  transmit(*link);
  run_until_answered(*link, Want::kAck);
  return link->core.control_write_result();
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
  for (int attempt = 0; attempt < 2 && !link->core.has(Want::kControl); ++attempt) {
    if (attempt > 0) {
      wait_readable(*link, kControlWaitMs * kNsPerMs);
    }
    receive_pending(*link, Want::kControl);
  }
  return link->core.read_control(*message) ? 0 : ERR_NO_DATA;
}

int32_t link_raw_can_read(InterfaceState* state, RawCanMessage* message) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ERR_NO_DATA;
  }
  if (message == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  if (!link->core.has(Want::kFrames)) {
    receive_pending(*link, Want::kFrames);
  }
  return link->core.read_frame(*message) ? 0 : ERR_NO_DATA;
}

int32_t link_raw_can_write(InterfaceState* state, const RawCanMessage* frames, int32_t count) {
  LinkState* link = started(state);
  if (link == nullptr) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  int32_t result = link->core.check_write(frames, count);
  if (result == ZELBOR_ERR_BACKLOG) {
    receive_pending(*link, Want::kEverything);  // acks that arrived may free room
    result = link->core.check_write(frames, count);
  }
  if (result == 0) {
    link->core.write_frames(frames, count, link->system->now_ns());
    transmit(*link);
  }
  return result;
}

int32_t link_counters(const InterfaceState* state, ZelborCounters* counters) {
  if (state == nullptr || counters == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  const auto* link = reinterpret_cast<const LinkState*>(state);
  if (link->magic != kStartedMagic && link->magic != kStoppedMagic) {
    return ZELBOR_ERR_NOT_STARTED;
  }
  *counters = link->core.counters();
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
  link->core.status(link->system->now_ns(), *status);
  status->descriptor = static_cast<int64_t>(link->socket);
  return 0;
}

void link_set_socket_ops(InterfaceState* state, const SocketOps* ops) {
  if (LinkState* link = started(state)) {
    link->ops = ops != nullptr ? ops : link->system->ops;
  }
}

bool link_inspect(const InterfaceState* state, LinkInspection& inspection) {
  const auto* link = reinterpret_cast<const LinkState*>(state);
  if (link == nullptr || (link->magic != kStartedMagic && link->magic != kStoppedMagic)) {
    return false;
  }
  inspection = {link->core.consistent(), link->core.phase()};
  return true;
}

void use_link_system(const LinkSystem* system) {
  next_system = system;
}

}  // namespace zelbor
