// The host driver's C interface: checks every argument, and turns a failed
// allocation into ERR_NO_MEMORY, so nothing is thrown across it.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "device_clock.h"
#include "host_driver.h"
#include "zelbor_host.h"

namespace {

// The library's calls as the caller found them.
class CallTable final : public rawcan::LibraryCalls {
 public:
  CallTable(const ZelborHostCalls& calls, InterfaceState* state) : calls_(calls), state_(state) {}
  int32_t start(uint32_t, uint32_t, int32_t, int32_t, int32_t) override {
    return ZELBOR_ERR_ARGUMENT;  // the caller starts and stops the interface
  }
  int32_t stop() override { return ZELBOR_ERR_ARGUMENT; }
  int32_t ctrl_write(const CtrlMessage& message) override {
    return calls_.ctrl_write(state_, &message);
  }
  int32_t ctrl_read(CtrlMessage& message) override { return calls_.ctrl_read(state_, &message); }
  int32_t raw_can_read(RawCanMessage& message) override {
    return calls_.raw_can_read(state_, &message);
  }
  int32_t raw_can_write(const RawCanMessage* frames, int32_t count) override {
    return calls_.raw_can_write(state_, frames, count);
  }
  bool read_counters(ZelborCounters& counters) override {
    return calls_.get_counters != nullptr && calls_.get_counters(state_, &counters) == 0;
  }
  bool link_status(ZelborLinkStatus& status) override {
    return calls_.get_link_status != nullptr && calls_.get_link_status(state_, &status) == 0;
  }

 private:
  ZelborHostCalls calls_;
  InterfaceState* state_;
};

}  // namespace

struct ZelborHost {
  ZelborHost(const ZelborHostCalls& calls, InterfaceState* state, rawcan::host::Options options,
             int64_t now_ns)
      : table(calls, state), driver(table, std::move(options), now_ns) {}
  CallTable table;
  rawcan::host::HostDriver driver;
};

namespace {

// Runs `call` on a driver, ERR_NO_MEMORY if it could not allocate.
template <typename Call>
int32_t guarded(Call&& call) {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return ERR_NO_MEMORY;
  } catch (...) {
    return ZELBOR_ERR_ARGUMENT;
  }
}

int32_t clamped(std::size_t count) {
  return static_cast<int32_t>(count > INT32_MAX ? INT32_MAX : count);
}

}  // namespace

int32_t ZelborHostCreate(const ZelborHostCalls* calls, InterfaceState* state,
                         const ZelborHostOptions* options, int64_t now_ns, ZelborHost** host) {
  if (host != nullptr) {
    *host = nullptr;
  }
  if (calls == nullptr || state == nullptr || options == nullptr || host == nullptr ||
      calls->ctrl_write == nullptr || calls->ctrl_read == nullptr ||
      calls->raw_can_read == nullptr || calls->raw_can_write == nullptr ||
      options->receive_capacity == 0 || options->transmit_capacity == 0) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return guarded([&] {
    rawcan::host::Options chosen;
    chosen.receive_capacity = options->receive_capacity;
    chosen.transmit_capacity = options->transmit_capacity;
    chosen.echo_sent = options->echo_sent != 0;
    chosen.loss_line_interval_ns = options->loss_line_interval_ns;
    const std::size_t name_length =
        strnlen(options->receive_loss_name, sizeof options->receive_loss_name);
    if (name_length != 0) {
      chosen.receive_loss_name.assign(options->receive_loss_name, name_length);
    }
    *host = new ZelborHost(*calls, state, std::move(chosen), now_ns);
    return 0;
  });
}

void ZelborHostDestroy(ZelborHost* host) {
  delete host;
}

int32_t ZelborHostStep(ZelborHost* host, int64_t now_ns) {
  if (host == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return guarded([&] { return host->driver.step(now_ns); });
}

int32_t ZelborHostWaitAdvice(ZelborHost* host, int64_t now_ns, ZelborHostWait* wait) {
  if (host == nullptr || wait == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  *wait = host->driver.wait_advice(now_ns);
  return 0;
}

int32_t ZelborHostWoke(ZelborHost* host, int32_t descriptor_readable) {
  if (host == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  host->driver.woke(descriptor_readable != 0);
  return 0;
}

int32_t ZelborHostSend(ZelborHost* host, const RawCanMessage* frames, int32_t count) {
  if (host == nullptr || count < 0 || (frames == nullptr && count != 0)) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return clamped(host->driver.send(frames, static_cast<std::size_t>(count)));
}

int32_t ZelborHostReceive(ZelborHost* host, ZelborHostFrame* frames, int32_t capacity) {
  if (host == nullptr || capacity < 0 || (frames == nullptr && capacity != 0)) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return guarded(
      [&] { return clamped(host->driver.receive(frames, static_cast<std::size_t>(capacity))); });
}

int32_t ZelborHostDiscardQueued(ZelborHost* host) {
  return host == nullptr ? ZELBOR_ERR_ARGUMENT : clamped(host->driver.discard_queued());
}

int32_t ZelborHostAbandon(ZelborHost* host) {
  return host == nullptr ? ZELBOR_ERR_ARGUMENT : clamped(host->driver.abandon());
}

int32_t ZelborHostGetState(ZelborHost* host, ZelborHostState* state) {
  if (host == nullptr || state == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  *state = host->driver.state();
  return 0;
}

int32_t ZelborHostGetTotals(ZelborHost* host, ZelborHostTotals* totals) {
  if (host == nullptr || totals == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  *totals = host->driver.totals();
  return 0;
}

int32_t ZelborHostNextNote(ZelborHost* host, char* text, int32_t capacity) {
  if (host == nullptr || text == nullptr || capacity < 1) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return guarded([&] {
    std::string note;
    if (!host->driver.next_note(note)) {
      text[0] = '\0';
      return static_cast<int32_t>(ERR_NO_DATA);
    }
    const std::size_t length = std::min(note.size(), static_cast<std::size_t>(capacity - 1));
    std::memcpy(text, note.data(), length);
    text[length] = '\0';
    return static_cast<int32_t>(length);
  });
}

int32_t ZelborHostTellLosses(ZelborHost* host, int64_t now_ns) {
  if (host == nullptr) {
    return ZELBOR_ERR_ARGUMENT;
  }
  return guarded([&] {
    host->driver.tell_losses(now_ns);
    return 0;
  });
}

struct ZelborHostClock {
  rawcan::host::DeviceClock clock;
};

int32_t ZelborHostClockCreate(int32_t scale, ZelborHostClock** clock) {
  if (clock != nullptr) {
    *clock = nullptr;
  }
  if (clock == nullptr || (scale != ZELBOR_HOST_CLOCK_HOST && scale != ZELBOR_HOST_CLOCK_DEVICE)) {
    return ZELBOR_ERR_ARGUMENT;
  }
  *clock = new (std::nothrow) ZelborHostClock{rawcan::host::DeviceClock(
      scale == ZELBOR_HOST_CLOCK_HOST ? rawcan::host::DeviceClock::Scale::kHost
                                      : rawcan::host::DeviceClock::Scale::kDevice)};
  return *clock == nullptr ? ERR_NO_MEMORY : 0;
}

void ZelborHostClockDestroy(ZelborHostClock* clock) {
  delete clock;
}

int32_t ZelborHostClockStamp(ZelborHostClock* clock, const ZelborHostFrame* frames, int32_t count,
                             int64_t arrival_offset_ns, int64_t* stamps_ns) {
  if (clock == nullptr || count < 0 ||
      (count != 0 && (frames == nullptr || stamps_ns == nullptr))) {
    return ZELBOR_ERR_ARGUMENT;
  }
  for (int32_t i = 0; i < count; ++i) {
    stamps_ns[i] = clock->clock.stamp(frames[i], arrival_offset_ns);
  }
  return count;
}
