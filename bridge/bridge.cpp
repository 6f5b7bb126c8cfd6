#include "bridge.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "clock.h"
#include "frames.h"
#include "records.h"

namespace rawcan::bridge {
namespace {

constexpr int kReadBurst = 4096;  // frames taken one way before looking the other
constexpr int kControlsPerRound = 64;
constexpr int64_t kControlReadIntervalNs = 250'000'000;
constexpr int64_t kWatchIntervalNs = 250'000'000;
constexpr int64_t kLossLineIntervalNs = 1'000'000'000;
constexpr int64_t kRetryFullNs = 1'000'000;     // ENOBUFS wakes no poll(): look again soon
constexpr int64_t kFirstIdlePauseNs = 250'000;  // without the link status: pauses grow to 20 ms
constexpr int64_t kLongestIdlePauseNs = 20'000'000;

CtrlMessage room_request() {
  CtrlMessage record{};
  record.type = ZELBOR_ROOM_RECORD;
  return record;
}

}  // namespace

Bridge::Bridge(LibraryCalls& library, CanSocket& can, std::string interface, std::FILE* log,
               bool (*stop)())
    : library_(library), can_(can), interface_(std::move(interface)), log_(log), stop_(stop) {
  // Room reports let the bridge write only what the device's queue takes.
  has_status_ = library_.link_status(status_) && library_.ctrl_write(room_request()) == 0;
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

void Bridge::receive_from_device() {
  RawCanMessage record{};
  for (int i = 0; i < kReadBurst; ++i) {
    if (library_.raw_can_read(record) < 0) {  // ERR_NO_DATA, or an error: look again later
      return;
    }
    if (interface_state_ != Interface::kUp) {
      ++totals_.interface_down;
    } else if (pending_.size() >= kPendingFrames) {
      ++totals_.interface_full;
    } else {
      pending_.push_back(to_can_frame(record));
    }
  }
}

void Bridge::deliver_to_interface() {
  while (!pending_.empty()) {
    const int written = can_.write(pending_.front());
    if (written == 1) {
      pending_.pop_front();
      ++totals_.to_interface;
      continue;
    }
    if (written == 0) {
      return;  // the interface's queue is full: these wait
    }
    // Down (ENETDOWN) or gone: nothing can take them.
    totals_.interface_down += pending_.size();
    pending_.clear();
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
  for (int i = 0; i < kReadBurst && !queue_.full(); ++i) {
    const int read = can_.read(frame);
    if (read <= 0) {
      return;
    }
    if (carried(frame, record)) {
      queue_.push(record);
    }
  }
}

void Bridge::read_controls(int64_t now_ns) {
  last_control_read_ns_ = now_ns;
  CtrlMessage record{};
  for (int i = 0; i < kControlsPerRound; ++i) {
    if (library_.ctrl_read(record) == ERR_NO_DATA) {
      return;
    }
    const QueueFields fields = queue_fields(record);
    if (record.type == MESSAGE_COUNT && record.length >= 2) {
      const bool extended = has_status_ && has_queue_fields(record);
      totals_.to_device += static_cast<uint64_t>(
          queue_.report(message_count(record), zelbor::monotonic_ns(),
                        extended ? std::optional<int>(fields.second) : std::nullopt,
                        extended ? std::optional<uint32_t>(fields.batch) : std::nullopt));
    } else if (record.type == ZELBOR_ROOM_RECORD && has_queue_fields(record) && has_status_) {
      queue_.room_report(fields.first, fields.second, fields.batch);
    } else if (record.type == ZELBOR_READY_RECORD) {
      // A new session of the device: its queue is new, and room reports are off.
      queue_.forget_room();
      if (has_status_ && library_.ctrl_write(room_request()) != 0) {
        note("the device sends no room reports now; sending by its counts alone");
        has_status_ = false;
      }
    }
  }
}

bool Bridge::write_to_device(int64_t now_ns) {
  RawCanMessage frames[kMaxWrite];
  const int count = queue_.next_write(now_ns, frames);
  if (count == 0) {
    return false;
  }
  if (library_.raw_can_write(frames, count) < 0) {
    queue_.unwritten();  // the library holds too much yet (ZELBOR_ERR_BACKLOG): later
    return false;
  }
  return true;
}

void Bridge::count_link_loss() {
  ZelborCounters counters{};
  if (library_.read_counters(counters)) {
    totals_.lost_on_link = counters.frames_lost;
    totals_.not_read_in_time = counters.frames_overflowed;
  }
  totals_.kernel_dropped = can_.kernel_drops();
  totals_.not_sent = abandoned_ + queue_.frames_given_up();
}

void Bridge::watch(int64_t now_ns) {
  if (has_status_ && !library_.link_status(status_)) {
    has_status_ = false;
  }
  int64_t silent_ns = 0;
  if (has_status_) {
    silent_ns = status_.device_silent_ms < 0 ? 0 : int64_t{status_.device_silent_ms} * 1'000'000;
  } else if (queue_.in_flight() != 0) {
    silent_ns = now_ns - queue_.flight_since_ns();  // only an unanswered write tells
  }
  const bool answering = silent_ns <= kDeviceSilenceNs;
  if (answering != answering_) {
    answering_ = answering;
    note(answering ? "the device answers again" : "the device does not answer");
  }
  if (has_status_ && answering && status_.batches_held == 0 && queue_.in_flight() != 0 &&
      now_ns - queue_.flight_since_ns() > kReportOverdueNs) {
    // The device took the write (the library holds none), but its report was lost.
    const int lost = queue_.abandon_flight();
    abandoned_ += static_cast<uint64_t>(lost);
    note("%d frames taken by the device were never confirmed", lost);
  }
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
  count_link_loss();
  const uint64_t lost = totals_.dropped();
  if (lost > losses_told_ && now_ns - last_loss_line_ns_ >= kLossLineIntervalNs) {
    note(
        "%llu frames lost so far (link %llu, not read in time %llu, %s full %llu, %s down "
        "%llu, kernel receive queue %llu, not taken by the device %llu)",
        static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(totals_.lost_on_link),
        static_cast<unsigned long long>(totals_.not_read_in_time), interface_.c_str(),
        static_cast<unsigned long long>(totals_.interface_full), interface_.c_str(),
        static_cast<unsigned long long>(totals_.interface_down),
        static_cast<unsigned long long>(totals_.kernel_dropped),
        static_cast<unsigned long long>(totals_.not_sent));
    losses_told_ = lost;
    last_loss_line_ns_ = now_ns;
  }
}

void Bridge::wait(int64_t now_ns, bool reading_interface) {
  int64_t timeout_ns =
      std::min(kControlReadIntervalNs - (now_ns - last_control_read_ns_), next_watch_ns_ - now_ns);
  if (const auto wake_at = queue_.wake_at_ns()) {
    timeout_ns = std::min(timeout_ns, *wake_at - now_ns);
  }
  if (!pending_.empty()) {
    timeout_ns = std::min(timeout_ns, kRetryFullNs);
  }
  if (has_status_) {
    timeout_ns = std::min(timeout_ns, int64_t{std::max(status_.wake_within_ms, 0)} * 1'000'000);
  } else if (queue_.in_flight() != 0) {
    timeout_ns = 0;  // the control read waits on the library's socket for the report
  } else {
    timeout_ns = std::min(
        timeout_ns, std::min(kFirstIdlePauseNs << std::min(idle_rounds_, 7), kLongestIdlePauseNs));
  }
  // What a call already took off the library's socket wakes no poll(); the
  // status tells, and it is read as if the socket had woken the bridge.
  woke_for_device_ = has_status_ && status_.wake_within_ms == 0;
  // Not reading, the interface's socket stays out: a pending error (ENETDOWN
  // once it goes down) would wake every poll() until a read takes it.
  pollfd watched[2] = {{reading_interface ? can_.fd() : -1, POLLIN, 0},
                       {has_status_ ? static_cast<int>(status_.descriptor) : -1, POLLIN, 0}};
  if (timeout_ns <= 0) {
    return;
  }
  const int timeout_ms = static_cast<int>((timeout_ns + 999'999) / 1'000'000);
  if (::poll(watched, 2, timeout_ms) > 0) {
    woke_for_device_ = (watched[1].revents & POLLIN) != 0;
  }
}

void Bridge::run() {
  for (;;) {
    const bool stopping = stop_();
    int64_t now = zelbor::monotonic_ns();
    const uint64_t before = totals_.to_interface;
    const std::size_t queued_before = queue_.size();
    receive_from_device();
    deliver_to_interface();
    if (!stopping) {
      receive_from_interface();
    }
    const bool frames_came = totals_.to_interface != before || !pending_.empty();
    // A report or ROOM record may have come with the frames; without the link
    // status only an unanswered write says one is due (and the read waits for it).
    const bool sending = queue_.in_flight() != 0 || queue_.size() != 0;
    if ((has_status_ ? woke_for_device_ && (sending || !frames_came) : queue_.in_flight() != 0) ||
        now - last_control_read_ns_ >= kControlReadIntervalNs) {
      read_controls(now);
    }
    now = zelbor::monotonic_ns();
    const bool wrote = write_to_device(now);
    watch(now);
    if (stopping) {
      return;
    }
    const bool busy = wrote || frames_came || queue_.size() != queued_before;
    idle_rounds_ = busy ? 0 : idle_rounds_ + 1;
    if (!wrote) {
      wait(now, !queue_.full());
    }
  }
}

const Totals& Bridge::finish() {
  // What the interface gave is sent while the device keeps taking it.
  int64_t progress_ns = zelbor::monotonic_ns();
  std::size_t waiting = queue_.size();
  while (waiting != 0) {
    const int64_t now = zelbor::monotonic_ns();
    if (now - progress_ns > kDrainNs) {
      break;
    }
    read_controls(now);
    if (!write_to_device(zelbor::monotonic_ns())) {
      wait(zelbor::monotonic_ns(), false);
    }
    receive_from_device();
    deliver_to_interface();
    if (queue_.size() < waiting) {
      waiting = queue_.size();
      progress_ns = zelbor::monotonic_ns();
    }
  }
  abandoned_ += queue_.size();
  // Frames still in the socket's receive buffer will not reach the device either.
  can_frame frame{};
  RawCanMessage record{};
  for (std::size_t i = 0, errors = 0; i < kQueuedFrames; ++i) {
    const int read = can_.read(frame);
    if (read == 0 || (read < 0 && ++errors > 1)) {
      break;  // the first error may be one the kernel kept for the next read (ENETDOWN)
    }
    if (read < 0) {
      continue;
    }
    if (carried(frame, record)) {
      ++abandoned_;
    }
  }
  library_.stop();
  count_link_loss();
  totals_.interface_full += pending_.size();
  return totals_;
}

}  // namespace rawcan::bridge
