#include "host_driver.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "queue_record.h"

namespace rawcan::host {
namespace {

CtrlMessage room_request() {
  CtrlMessage record{};
  record.type = ZELBOR_ROOM_RECORD;
  return record;
}

Options checked(Options options) {
  options.receive_capacity = std::max<std::size_t>(options.receive_capacity, 1);
  options.transmit_capacity = std::max<std::size_t>(options.transmit_capacity, 1);
  return options;
}

// A write failure the library will not get over: the frames are not sent.
bool is_for_good(int32_t result) {
  return result == ZELBOR_ERR_ARGUMENT || result == ZELBOR_ERR_NOT_STARTED;
}

}  // namespace

HostDriver::HostDriver(LibraryCalls& library, Options options, int64_t now_ns)
    : library_(library),
      last_control_read_ns_(now_ns),
      next_watch_ns_(now_ns),
      options_(checked(std::move(options))),
      queue_(options_.transmit_capacity),
      started_ns_(now_ns) {
  has_status_ = library_.link_status(status_);
  ZelborCounters counters{};
  has_counters_ = library_.read_counters(counters);
  if (has_counters_) {
    take_counters(counters);
    frames_restarts_ = totals_.device_restarts;
  }
  // Room reports let the driver write only what the device's queue takes.
  if (has_status_ && library_.ctrl_write(room_request()) != 0) {
    has_status_ = false;
  }
}

void HostDriver::note(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  notes_.emplace_back(text);
  ++notes_made_;
}

bool HostDriver::next_note(std::string& text) {
  const Lock lock(mutex_);
  if (notes_.empty()) {
    return false;
  }
  text = std::move(notes_.front());
  notes_.pop_front();
  return true;
}

void HostDriver::set_host_losses(std::vector<HostLoss> losses) {
  const Lock lock(mutex_);
  host_losses_ = std::move(losses);
}

void HostDriver::hold(const ZelborHostFrame& frame) {
  if (received_.size() >= options_.receive_capacity) {
    ++totals_.receive_buffer_full;
  } else {
    received_.push_back(frame);
  }
}

std::optional<ZelborCounters> HostDriver::library_counters() {
  ZelborCounters counters{};
  if (has_counters_ && library_.read_counters(counters)) {
    return counters;
  }
  return std::nullopt;
}

void HostDriver::take_counters(const ZelborCounters& counters) {
  totals_.lost_on_link = counters.frames_lost;
  totals_.not_read_in_time = counters.frames_overflowed;
  totals_.controls_lost = counters.controls_lost + counters.controls_overflowed;
  totals_.device_restarts = counters.device_restarts;
}

std::size_t HostDriver::read_frames(int64_t now_ns) {
  burst_.resize(kReadBurst);
  std::size_t read = 0;
  while (read < burst_.size() && library_.raw_can_read(burst_[read]) >= 0) {
    ++read;  // until ERR_NO_DATA, or an error: later
  }
  if (read == 0) {
    return 0;
  }
  // A new session of the device starts its time count again: its first frame says so.
  const std::optional<ZelborCounters> counters = library_counters();
  const Lock lock(mutex_);
  if (counters) {
    take_counters(*counters);
  }
  for (std::size_t i = 0; i < read; ++i) {
    const bool new_session = totals_.device_restarts != frames_restarts_;
    if (new_session && received_.size() < options_.receive_capacity) {
      frames_restarts_ = totals_.device_restarts;  // told with a frame held, not one dropped
    }
    hold(ZelborHostFrame{burst_[i], new_session ? uint32_t{ZELBOR_HOST_NEW_SESSION} : 0u, now_ns});
  }
  totals_.frames_received += read;
  return read;
}

void HostDriver::ask_for_room_reports() {
  if (has_status_ && library_.ctrl_write(room_request()) != 0) {
    has_status_ = false;
    const Lock lock(mutex_);
    note("the device sends no room reports now; sending by its counts alone");
  }
}

// Under mutex_: a record's effect on the queue. True if it may let more go.
bool HostDriver::handle_control(const CtrlMessage& record, int64_t now_ns) {
  const QueueFields fields = queue_fields(record);
  if (record.type == MESSAGE_COUNT && record.length >= 2) {
    message_count_ = message_count(record);
    const bool extended = has_status_ && has_queue_fields(record);
    queue_.report(message_count(record), now_ns,
                  extended ? std::optional<int>(fields.second) : std::nullopt,
                  extended ? std::optional<uint32_t>(fields.batch) : std::nullopt,
                  options_.echo_sent ? &taken_frames_ : nullptr);
    return true;
  }
  if (record.type == ZELBOR_ROOM_RECORD && has_queue_fields(record) && has_status_) {
    queue_.room_report(fields.first, fields.second, fields.batch);
    return true;
  }
  if (record.type == ZELBOR_READY_RECORD) {
    queue_.forget_room();  // a new session of the device: its queue is new
  }
  return false;
}

bool HostDriver::read_controls(int64_t now_ns) {
  last_control_read_ns_ = now_ns;
  bool may_write = false;
  bool ready = false;
  CtrlMessage record{};
  for (int i = 0; i < kControlsPerRound && library_.ctrl_read(record) == 0; ++i) {
    const Lock lock(mutex_);
    may_write = handle_control(record, now_ns) || may_write;
    ready = ready || record.type == ZELBOR_READY_RECORD;
  }
  if (ready) {
    ask_for_room_reports();  // room reports are off in the device's new session
  }
  if (may_write) {
    const Lock lock(mutex_);
    count_queue();
  }
  return may_write;
}

// Under mutex_: the queue's own counts into the totals, and the frames it
// saw taken back to the program.
void HostDriver::count_queue() {
  totals_.frames_taken = queue_.frames_taken();
  totals_.frames_sent_again = queue_.frames_sent_again();
  // A short count with later writes out gives its rest up: never sent after them.
  totals_.frames_not_sent += queue_.frames_given_up() - given_up_counted_;
  given_up_counted_ = queue_.frames_given_up();
  for (const auto& [frame, written_ns] : taken_frames_) {
    hold(ZelborHostFrame{frame, ZELBOR_HOST_SENT, written_ns});
  }
  taken_frames_.clear();
}

bool HostDriver::write(int64_t now_ns) {
  if (now_ns < write_retry_at_ns_) {
    return false;
  }
  RawCanMessage frames[kMaxWrite];
  int count = 0;
  {
    const Lock lock(mutex_);
    if (write_error_ != 0) {
      return false;  // the library refuses writes for good: the frames wait to be given up
    }
    count = queue_.next_write(now_ns, frames);
  }
  if (count == 0) {
    return false;
  }
  const int32_t result = library_.raw_can_write(frames, count);
  if (result >= 0) {
    return true;
  }
  const Lock lock(mutex_);
  queue_.unwritten();  // ZELBOR_ERR_BACKLOG: the library holds too much yet; later
  if (is_for_good(result)) {
    write_error_ = result;
    note("the library refuses frames (result %d); they are not sent", static_cast<int>(result));
  } else if (result != ZELBOR_ERR_BACKLOG) {
    write_retry_at_ns_ = now_ns + kFirstPauseNs;  // a failure for now (a full socket): again soon
  }
  return false;
}

uint64_t HostDriver::lost() const {
  uint64_t total = totals_.lost_on_link + totals_.not_read_in_time + totals_.receive_buffer_full +
                   totals_.frames_not_sent;
  for (const HostLoss& loss : host_losses_) {
    total += loss.count;
  }
  return total;
}

void HostDriver::tell_losses_locked(int64_t now_ns) {
  const uint64_t total = lost();
  if (total <= losses_told_) {
    return;
  }
  std::string causes;
  for (const HostLoss& loss : host_losses_) {
    causes += ", " + loss.name + " " + std::to_string(loss.count);
  }
  note(
      "%llu frames lost so far (link %llu, not read in time %llu, %s %llu%s, not taken by the "
      "device %llu)",
      static_cast<unsigned long long>(total), static_cast<unsigned long long>(totals_.lost_on_link),
      static_cast<unsigned long long>(totals_.not_read_in_time), options_.receive_loss_name.c_str(),
      static_cast<unsigned long long>(totals_.receive_buffer_full), causes.c_str(),
      static_cast<unsigned long long>(totals_.frames_not_sent));
  losses_told_ = total;
  last_loss_line_ns_ = now_ns;
}

void HostDriver::tell_losses(int64_t now_ns) {
  const std::optional<ZelborCounters> counters = library_counters();
  const Lock lock(mutex_);
  if (counters) {
    take_counters(*counters);
  }
  tell_losses_locked(now_ns);
}

void HostDriver::watch(int64_t now_ns) {
  if (has_status_ && !library_.link_status(status_)) {
    has_status_ = false;
  }
  std::optional<ZelborCounters> counters;
  const bool look_at_losses = now_ns >= next_watch_ns_;
  if (look_at_losses) {
    next_watch_ns_ = now_ns + kWatchIntervalNs;
    counters = library_counters();
  }
  const Lock lock(mutex_);
  if (has_status_) {
    silent_ns_ = status_.device_silent_ms < 0 ? now_ns - started_ns_
                                              : int64_t{status_.device_silent_ms} * 1'000'000;
  } else {
    // Only an unanswered write tells.
    silent_ns_ = queue_.in_flight() != 0 ? now_ns - queue_.flight_since_ns() : 0;
  }
  const bool answering = silent_ns_ <= kDeviceSilenceNs;
  if (answering != answering_) {
    answering_ = answering;
    note(answering ? "the device answers again" : "the device does not answer");
  }
  if (has_status_ && answering && status_.batches_held == 0 && queue_.in_flight() != 0 &&
      now_ns - queue_.flight_since_ns() > kReportOverdueNs) {
    // The device took the write (the library holds none), but its report was lost.
    const int given_up =
        queue_.abandon_flight(now_ns, options_.echo_sent ? &taken_frames_ : nullptr);
    count_queue();
    totals_.frames_not_sent += static_cast<uint64_t>(given_up);
    note("%d frames taken by the device were never confirmed", given_up);
  }
  if (look_at_losses) {
    if (counters) {
      take_counters(*counters);
    }
    if (now_ns - last_loss_line_ns_ >= options_.loss_line_interval_ns) {
      tell_losses_locked(now_ns);
    }
  }
}

int HostDriver::step(int64_t now_ns) {
  int changes = 0;
  const std::size_t read = read_frames(now_ns);
  bool sending = false;
  bool in_flight = false;
  uint64_t notes_before = 0;
  {
    const Lock lock(mutex_);
    notes_before = notes_made_;
    sending = queue_.size() != 0;
    in_flight = queue_.in_flight() != 0;
  }
  // A report or ROOM record may have come with the frames; without the link
  // status only an unanswered write says one is due.
  const bool report_due = has_status_ ? woke_for_device_ && (sending || read == 0) : in_flight;
  if ((report_due || now_ns - last_control_read_ns_ >= kControlReadIntervalNs) &&
      read_controls(now_ns)) {
    changes |= ZELBOR_HOST_TAKEN;
  }
  const bool wrote = write(now_ns);
  watch(now_ns);
  {
    // Every change of state a program must see comes with a note.
    const Lock lock(mutex_);
    if (notes_made_ != notes_before) {
      changes |= ZELBOR_HOST_CHANGED;
    }
    if (!received_.empty()) {
      changes |= ZELBOR_HOST_RECEIVED;
    }
  }
  if (wrote) {
    changes |= ZELBOR_HOST_WROTE;
  }
  idle_rounds_ = read != 0 || wrote ? 0 : idle_rounds_ + 1;
  return changes;
}

ZelborHostWait HostDriver::wait_advice(int64_t now_ns) {
  int64_t timeout_ns =
      std::min(kControlReadIntervalNs - (now_ns - last_control_read_ns_), next_watch_ns_ - now_ns);
  int in_flight = 0;
  {
    const Lock lock(mutex_);
    if (const auto wake_at = write_error_ == 0 ? queue_.wake_at_ns() : std::nullopt) {
      timeout_ns = std::min(timeout_ns, std::max(*wake_at, write_retry_at_ns_) - now_ns);
    }
    in_flight = queue_.in_flight();
  }
  if (has_status_) {
    timeout_ns = std::min(timeout_ns, int64_t{std::max(status_.wake_within_ms, 0)} * 1'000'000);
  } else if (in_flight != 0) {
    timeout_ns = 0;  // the control read waits on the library's socket for the report
  } else {
    timeout_ns = std::min(
        timeout_ns, std::min(kFirstIdlePauseNs << std::min(idle_rounds_, 7), kLongestIdlePauseNs));
  }
  // What a call already took off the library's socket wakes no poll(); the
  // status tells, and the next step reads as if the socket had woken it.
  woke_pending_ = has_status_ && status_.wake_within_ms == 0;
  woke_for_device_ = woke_pending_;
  return {std::max<int64_t>(timeout_ns, 0), has_status_ ? status_.descriptor : -1};
}

std::size_t HostDriver::send(const RawCanMessage* frames, std::size_t count) {
  const Lock lock(mutex_);
  std::size_t taken = 0;
  while (taken < count && queue_.push(frames[taken])) {
    ++taken;
  }
  return taken;
}

bool HostDriver::queue_full() const {
  const Lock lock(mutex_);
  return queue_.full();
}

std::size_t HostDriver::waiting_to_send() const {
  const Lock lock(mutex_);
  return queue_.size();
}

std::size_t HostDriver::discard_queued() {
  const Lock lock(mutex_);
  const std::size_t count = queue_.discard_unwritten();
  totals_.frames_flushed += count;
  return count;
}

std::size_t HostDriver::abandon() {
  const Lock lock(mutex_);
  const std::size_t unwritten = queue_.discard_unwritten();
  const auto given_up = static_cast<std::size_t>(queue_.abandon_flight());
  count_queue();
  totals_.frames_not_sent += unwritten + given_up;
  return unwritten + given_up;
}

bool HostDriver::has_received() const {
  const Lock lock(mutex_);
  return !received_.empty();
}

ZelborHostFrame HostDriver::front() const {
  const Lock lock(mutex_);
  return received_.front();
}

void HostDriver::pop() {
  const Lock lock(mutex_);
  received_.pop_front();
}

std::size_t HostDriver::receive(ZelborHostFrame* frames, std::size_t capacity) {
  const Lock lock(mutex_);
  const std::size_t count = std::min(capacity, received_.size());
  std::copy_n(received_.begin(), count, frames);
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(count));
  return count;
}

std::size_t HostDriver::discard_received() {
  const Lock lock(mutex_);
  const std::size_t count = received_.size();
  totals_.receive_buffer_full += count;
  received_.clear();
  return count;
}

ZelborHostState HostDriver::state() const {
  const Lock lock(mutex_);
  ZelborHostState state{};
  state.answering = answering_ ? 1 : 0;
  state.silent_ms = static_cast<int32_t>(std::min<int64_t>(silent_ns_ / 1'000'000, INT32_MAX));
  state.write_error = write_error_;
  state.message_count = message_count_;
  state.received = static_cast<uint32_t>(received_.size());
  state.queued = static_cast<uint32_t>(queue_.size());
  state.in_flight = static_cast<uint32_t>(queue_.in_flight());
  state.transmit_room = static_cast<uint32_t>(queue_.capacity() - queue_.size());
  return state;
}

ZelborHostTotals HostDriver::totals() {
  const std::optional<ZelborCounters> counters = library_counters();
  const Lock lock(mutex_);
  if (counters) {
    take_counters(*counters);
  }
  return totals_;
}

}  // namespace rawcan::host
