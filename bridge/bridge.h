// The bridge between one channel of the device and one SocketCAN interface.
//
// Device to interface: every frame the library delivers is written to the
// interface in order, at once or at its time on the bus (playout.h). While the interface's queue is
// full (ENOBUFS on a real controller) frames wait, up to kPendingFrames; beyond that, and while the
// interface is down, they are dropped and counted.
//
// Interface to device: every frame other programs send on the interface is
// queued (up to kQueuedFrames) and goes to the device exactly once and in
// order, by the host driver's rules (host_driver.h). While the queue is full the bridge
// stops reading, so frames wait in the socket's receive buffer; what the
// kernel drops there is counted. The bridge's own socket does not receive
// the frames it writes, so nothing goes back where it came from.
// Remote-request, error and CAN FD frames, which the device's record cannot
// carry, are refused and counted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "can_socket.h"
#include "host_driver.h"
#include "library_calls.h"
#include "playout.h"

namespace rawcan::bridge {

inline constexpr std::size_t kQueuedFrames = 65536;  // 1.75 MiB of records
inline constexpr std::size_t kPendingFrames = 65536;
inline constexpr int64_t kDrainNs = 2'000'000'000;  // a stop waits this long without progress

struct Totals {
  uint64_t to_interface = 0;      // frames from the device written to the interface
  uint64_t to_device = 0;         // frames from the interface the device took
  uint64_t lost_on_link = 0;      // frames the device sent that never arrived
  uint64_t not_read_in_time = 0;  // frames the library dropped: the bridge fell behind
  uint64_t interface_full = 0;  // frames from the device dropped: the interface's queue stayed full
  uint64_t interface_down = 0;  // frames from the device dropped while the interface was down
  uint64_t kernel_dropped = 0;  // frames the kernel dropped before the bridge read them
  uint64_t not_sent = 0;        // frames from the interface the device never took
  uint64_t remote_refused = 0;
  uint64_t error_refused = 0;
  uint64_t fd_refused = 0;
  uint64_t late = 0;  // frames from the device that reached the bridge after their slot

  uint64_t dropped() const {
    return lost_on_link + not_read_in_time + interface_full + interface_down + kernel_dropped +
           not_sent;
  }
};

class Bridge {
 public:
  // `log` gets the lines on loss and state; `stop` says when to end.
  Bridge(LibraryCalls& library, CanSocket& can, std::string interface, std::FILE* log,
         bool (*stop)(), Playout playout = Playout());

  // Runs until stop() says so, then sends what the device still takes.
  void run();
  // Stops the interface and returns the totals.
  const Totals& finish();
  bool timed() const { return playout_.timed(); }

 private:
  // Writes what is due; with `at_once`, everything, due or not.
  void deliver_to_interface(int64_t now_ns, bool at_once = false);
  void drop_front();  // counted: the interface is down
  void receive_from_interface();
  // The record of a frame from the interface; false, and counted, if refused.
  bool carried(const can_frame& frame, RawCanMessage& record);
  void watch_interface(int64_t now_ns);
  enum class Interface { kUp, kDown, kGone };
  Interface look_at_interface();
  void wait(int64_t now_ns, bool reading_interface);
  void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void tell_notes();
  void count_totals();

  LibraryCalls& library_;
  CanSocket& can_;
  std::string interface_;
  std::FILE* log_;
  bool (*stop_)();
  host::HostDriver driver_;
  Playout playout_;
  // What the bridge last said of the interface: a write may find it down
  // before the watch finds it gone, and the watch still says so.
  Interface interface_state_ = Interface::kUp;
  bool interface_full_ = false;  // the last write found the interface's queue full
  int64_t next_watch_ns_ = 0;
  uint64_t late_told_ = 0;
  int64_t late_told_ns_ = INT64_MIN / 2;
  Totals totals_;
};

}  // namespace rawcan::bridge
