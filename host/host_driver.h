// The host driver behind zelbor_host.h, for programs written in C++ (the
// bridge) and, through the C interface, for everyone else (the python-can
// plugin): one policy for receiving, sending, waiting and telling losses.
//
// Receiving: each step reads up to kReadBurst frames into a bounded buffer;
// what does not fit is counted. Sending: the transmit queue's rules
// (transmit_queue.h), with room reports where the library has the link
// status. Waiting: the next step is due when the library asks (its link
// status), when a retry or the unprompted control read is due, or when the
// library's socket is readable; without the link status, after a pause that
// grows while nothing happens. Control records are read when the socket woke
// the host, while a write waits for its report, and every 250 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "library_calls.h"
#include "transmit_queue.h"
#include "zelbor_host.h"

namespace rawcan::host {

inline constexpr int kReadBurst = 4096;  // frames read in a step before anything else
inline constexpr int kControlsPerRound = 64;
inline constexpr int64_t kControlReadIntervalNs = 250'000'000;
inline constexpr int64_t kWatchIntervalNs = 250'000'000;
inline constexpr int64_t kDeviceSilenceNs = 2'000'000'000;
inline constexpr int64_t kReportOverdueNs = 5'000'000'000;
inline constexpr int64_t kFirstIdlePauseNs = 250'000;  // without the link status
inline constexpr int64_t kLongestIdlePauseNs = 20'000'000;

struct Options {
  std::size_t receive_capacity = 65536;
  std::size_t transmit_capacity = 65536;
  bool echo_sent = false;
  int64_t loss_line_interval_ns = 1'000'000'000;
  std::string receive_loss_name = "receive buffer full";
};

// A loss the program counts itself, told in the loss note beside the driver's.
struct HostLoss {
  std::string name;
  uint64_t count = 0;
};

// Threads: step(), wait_advice(), woke(), totals() and tell_losses() make
// the library calls, so one thread at a time makes them. The program's
// other calls (send, receive, state, notes) may come from other threads
// meanwhile: they never wait for a library call.
class HostDriver {
 public:
  // `library` is a started interface; asks for room reports where it can.
  HostDriver(LibraryCalls& library, Options options, int64_t now_ns);

  int step(int64_t now_ns);  // the ZELBOR_HOST_* bits of what changed
  ZelborHostWait wait_advice(int64_t now_ns);
  void woke(bool descriptor_readable) { woke_for_device_ = woke_pending_ || descriptor_readable; }

  // Queues frames in order; returns how many fit.
  std::size_t send(const RawCanMessage* frames, std::size_t count);
  bool queue_full() const;
  std::size_t waiting_to_send() const;
  std::size_t discard_queued();
  std::size_t abandon();

  bool has_received() const;
  ZelborHostFrame front() const;  // the oldest received; has_received() first
  void pop();
  std::size_t receive(ZelborHostFrame* frames, std::size_t capacity);
  // Drops what waits to be taken; returns how many (counted as a full buffer).
  std::size_t discard_received();

  ZelborHostState state() const;
  ZelborHostTotals totals();  // with the library's counters read now
  bool next_note(std::string& text);
  // A loss note now, if frames were lost since the last one (the watch
  // makes one at most once per loss_line_interval_ns).
  void tell_losses(int64_t now_ns);
  // The program's own losses, for the loss note: names and counts in order.
  void set_host_losses(std::vector<HostLoss> losses);

 private:
  using Lock = std::lock_guard<std::mutex>;
  std::size_t read_frames(int64_t now_ns);
  void hold(const ZelborHostFrame& frame);
  bool read_controls(int64_t now_ns);
  bool handle_control(const CtrlMessage& record, int64_t now_ns);
  void ask_for_room_reports();
  bool write(int64_t now_ns);
  void watch(int64_t now_ns);
  std::optional<ZelborCounters> library_counters();
  void take_counters(const ZelborCounters& counters);
  void count_queue();
  void tell_losses_locked(int64_t now_ns);
  uint64_t lost() const;
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The library side: only the thread that steps touches these.
  LibraryCalls& library_;
  bool has_status_ = false;
  bool has_counters_ = false;
  ZelborLinkStatus status_{};
  std::vector<RawCanMessage> burst_;
  bool woke_for_device_ = false;
  bool woke_pending_ = false;
  int idle_rounds_ = 0;
  int64_t last_control_read_ns_;
  int64_t next_watch_ns_;
  int64_t write_retry_at_ns_ = 0;  // after a write the library failed for now

  // Shared with the program's calls, under mutex_.
  mutable std::mutex mutex_;
  const Options options_;
  TransmitQueue queue_;
  std::deque<ZelborHostFrame> received_;
  std::deque<std::string> notes_;
  uint64_t notes_made_ = 0;  // a step that made one changed what the program must see
  std::vector<HostLoss> host_losses_;
  TransmitQueue::TakenFrames taken_frames_;
  ZelborHostTotals totals_{};
  uint64_t frames_restarts_ = 0;   // the device's restarts as of the last frame held
  uint64_t given_up_counted_ = 0;  // of the queue's frames given up, those in the totals
  bool answering_ = true;
  int64_t silent_ns_ = 0;
  int32_t write_error_ = 0;
  int32_t message_count_ = -1;
  const int64_t started_ns_;
  int64_t last_loss_line_ns_ = INT64_MIN / 2;
  uint64_t losses_told_ = 0;
};

}  // namespace rawcan::host
