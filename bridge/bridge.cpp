#include "bridge.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "clock.h"
#include "frames.h"

namespace rawcan::bridge {
namespace {

constexpr int kReadBurst = 4096;  // frames taken from the interface before looking the other way
constexpr int64_t kWatchIntervalNs = 250'000'000;
constexpr int64_t kLateLineIntervalNs = 1'000'000'000;
constexpr int64_t kRetryFullNs = 1'000'000;  // ENOBUFS wakes no poll(): look again soon

host::Options driver_options(const std::string& interface) {
  host::Options options;
  options.receive_capacity = kPendingFrames;
  options.transmit_capacity = kQueuedFrames;
  options.loss_line_interval_ns = 1'000'000'000;
  options.receive_loss_name = interface + " full";
  return options;
}

}  // namespace

Bridge::Bridge(LibraryCalls& library, CanSocket& can, std::string interface, std::FILE* log,
               bool (*stop)(), Playout playout)
    : library_(library),
      can_(can),
      interface_(std::move(interface)),
      log_(log),
      stop_(stop),
      driver_(library, driver_options(interface_), zelbor::monotonic_ns()),
      playout_(std::move(playout)) {
  interface_state_ = look_at_interface();
}

Bridge::Interface Bridge::look_at_interface() {
  return can_.interface_up() ? Interface::kUp : can_.gone() ? Interface::kGone : Interface::kDown;
}

void Bridge::note(const char* format, ...) {
  std::fprintf(log_, "raw_can_bridge: ");
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log_, format, arguments);
  va_end(arguments);
  std::fputc('\n', log_);
  std::fflush(log_);
}

void Bridge::tell_notes() {
  std::string text;
  while (driver_.next_note(text)) {
    note("%s", text.c_str());
  }
}

void Bridge::drop_front() {
  playout_.due_ns(driver_.front());  // stamped all the same: the clock sees every restart
  ++totals_.interface_down;
  driver_.pop();
  playout_.gone(false);
  interface_full_ = false;  // what comes next finds the interface anew
}

void Bridge::deliver_to_interface(int64_t now_ns, bool at_once) {
  while (driver_.has_received()) {
    if (interface_state_ != Interface::kUp) {
      drop_front();
      continue;
    }
    const int64_t due_ns = playout_.due_ns(driver_.front());
    if (!at_once && due_ns > now_ns) {
      now_ns = zelbor::monotonic_ns();  // writes take time: its slot may have come meanwhile
      if (due_ns > now_ns) {
        return;  // it waits for its slot
      }
    }
    const int written = can_.write(to_can_frame(driver_.front().frame));
    interface_full_ = written == 0;  // then tried again soon, not at a slot
    if (written == 1) {
      driver_.pop();
      playout_.gone(true);
      ++totals_.to_interface;
      continue;
    }
    if (written == 0) {
      return;  // the interface's queue is full: these wait
    }
    // Down (ENETDOWN) or gone: nothing can take them.
    while (driver_.has_received()) {
      drop_front();
    }
    if (interface_state_ == Interface::kUp && errno == ENETDOWN) {
      interface_state_ = Interface::kDown;
      note("%s is down: frames from the device are dropped until it is up", interface_.c_str());
    }
    return;
  }
}

bool Bridge::carried(const can_frame& frame, RawCanMessage& record) {
  switch (to_record(frame, record)) {
    case Conversion::kFrame:
      return true;
    case Conversion::kRemoteRequest:
      ++totals_.remote_refused;
      return false;
    case Conversion::kErrorFrame:
      ++totals_.error_refused;
      return false;
  }
  return false;
}

void Bridge::receive_from_interface() {
  can_frame frame{};
  RawCanMessage record{};
  for (int i = 0; i < kReadBurst && !driver_.queue_full(); ++i) {
    const int read = can_.read(frame);
    if (read <= 0) {
      return;
    }
    if (read == CanSocket::kFdFrame) {
      ++totals_.fd_refused;
      continue;
    }
    if (carried(frame, record)) {
      driver_.send(&record, 1);
    }
  }
}

void Bridge::count_totals() {
  const ZelborHostTotals totals = driver_.totals();
  totals_.to_device = totals.frames_taken;
  totals_.lost_on_link = totals.lost_on_link;
  totals_.not_read_in_time = totals.not_read_in_time;
  totals_.interface_full = totals.receive_buffer_full;
  totals_.not_sent = totals.frames_not_sent;
  totals_.kernel_dropped = can_.kernel_drops();
  totals_.late = playout_.late();
}

void Bridge::watch_interface(int64_t now_ns) {
  if (now_ns < next_watch_ns_) {
    return;
  }
  next_watch_ns_ = now_ns + kWatchIntervalNs;
  const Interface now = look_at_interface();
  if (now != interface_state_) {
    interface_state_ = now;
    note(now == Interface::kUp ? "%s is up"
         : now == Interface::kGone
             ? "%s is gone: frames from the device are dropped until it is back and up"
             : "%s is down: frames from the device are dropped until it is up",
         interface_.c_str());
  }
  if (playout_.late() != late_told_ && now_ns - late_told_ns_ >= kLateLineIntervalNs) {
    late_told_ = playout_.late();
    late_told_ns_ = now_ns;
    note(
        "late %llu: frames from the device that came more than %lld ms after their time on the "
        "bus were written at once",
        static_cast<unsigned long long>(late_told_),
        static_cast<long long>(playout_.delay_ns() / 1'000'000));
  }
  // The driver's loss line tells these beside its own.
  driver_.set_host_losses({{interface_ + " down", totals_.interface_down},
                           {"kernel receive queue", can_.kernel_drops()}});
}

void Bridge::wait(int64_t now_ns, bool reading_interface) {
  const ZelborHostWait advice = driver_.wait_advice(now_ns);
  int64_t timeout_ns = std::min(advice.timeout_ns, next_watch_ns_ - now_ns);
  if (driver_.has_received()) {  // waiting for room, or for its slot
    const int64_t due_ns = playout_.due_ns(driver_.front());
    timeout_ns = std::min(timeout_ns, interface_full_   ? kRetryFullNs
                                      : due_ns > now_ns ? due_ns - now_ns
                                                        : 0);
  }
  if (timeout_ns <= 0) {
    return;
  }
  // Not reading, the interface's socket stays out: a pending error (ENETDOWN
  // once it goes down) would wake every poll() until a read takes it.
  pollfd watched[2] = {{reading_interface ? can_.fd() : -1, POLLIN, 0},
                       {static_cast<int>(advice.descriptor), POLLIN, 0}};
  if (!playout_.timed()) {  // whole milliseconds, as before: no slot to keep
    timeout_ns = (timeout_ns + 999'999) / 1'000'000 * 1'000'000;
  }
  const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000),
                         static_cast<long>(timeout_ns % 1'000'000'000)};
  if (::ppoll(watched, 2, &timeout, nullptr) > 0) {
    driver_.woke((watched[1].revents & POLLIN) != 0);
  }
}

void Bridge::run() {
  for (;;) {
    const bool stopping = stop_();
    if (playout_.timed()) {  // a frame whose slot woke the bridge goes first
      deliver_to_interface(zelbor::monotonic_ns());
    }
    if (!stopping) {
      receive_from_interface();
    }
    const int64_t now = zelbor::monotonic_ns();
    const int changes = driver_.step(now);
    deliver_to_interface(zelbor::monotonic_ns());
    watch_interface(now);
    tell_notes();
    if (stopping) {
      return;
    }
    if ((changes & ZELBOR_HOST_WROTE) == 0) {
      wait(zelbor::monotonic_ns(), !driver_.queue_full());
    }
  }
}

const Totals& Bridge::finish() {
  // What the interface gave is sent while the device keeps taking it.
  int64_t progress_ns = zelbor::monotonic_ns();
  std::size_t waiting = driver_.waiting_to_send();
  while (waiting != 0) {
    const int64_t now = zelbor::monotonic_ns();
    if (now - progress_ns > kDrainNs) {
      break;
    }
    if ((driver_.step(now) & ZELBOR_HOST_WROTE) == 0) {
      wait(zelbor::monotonic_ns(), false);
    }
    deliver_to_interface(zelbor::monotonic_ns());
    watch_interface(now);  // and its next time bounds the wait
    tell_notes();
    if (driver_.waiting_to_send() < waiting) {
      waiting = driver_.waiting_to_send();
      progress_ns = zelbor::monotonic_ns();
    }
  }
  driver_.abandon();
  // Frames still in the socket's receive buffer will not reach the device either.
  uint64_t unread = 0;
  can_frame frame{};
  RawCanMessage record{};
  for (std::size_t i = 0, errors = 0; i < kQueuedFrames; ++i) {
    const int read = can_.read(frame);
    if (read == 0 || (read < 0 && ++errors > 1)) {
      break;  // the first error may be one the kernel kept for the next read (ENETDOWN)
    }
    if (read == CanSocket::kFdFrame) {
      ++totals_.fd_refused;
    } else if (read > 0 && carried(frame, record)) {
      ++unread;
    }
  }
  library_.stop();
  deliver_to_interface(zelbor::monotonic_ns(), true);  // those waiting for their slot go now
  driver_.discard_received();                          // the interface's queue stayed full for them
  count_totals();
  totals_.not_sent += unread;
  return totals_;
}

}  // namespace rawcan::bridge
