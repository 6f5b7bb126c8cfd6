// The simulated device as one step function over time: its bus, its own
// traffic (the generator and the replay), its recording. The program feeds
// it datagrams from its sockets, each at the moment it arrived, and calls
// step() whenever next_wake_ns() comes; tests do the same on a clock of
// their own.
//
// The device's time is that of the events, not of the calls: whatever is
// due before a datagram's arrival (a generated or replayed frame, a frame
// ending on the bus) happens first, at its own moment, so a call that comes
// late plays the device forward exactly as it would have run, and answers
// what it would have answered then. Time never runs backwards: an event
// older than one already handled counts as happening at that one's time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "candump.h"
#include "recorder.h"
#include "sim_device.h"
#include "sources.h"

namespace zelbor::sim {

// The longest the device sleeps: how soon it notices a silent host or
// repeats a control record.
inline constexpr int64_t kIdleWakeNs = 20'000'000;
// The device wakes for the generator and the replay at most once a
// millisecond, so a fast one fills whole datagrams rather than sending a
// frame a wake; each frame still goes on the bus at its own due time.
inline constexpr int64_t kSourceBatchNs = 1'000'000;
// Frames the generator and the replay offer at most between two steps, so
// neither a log whose frames share one time, played without end, nor a
// generator faster than the device can hold it; the rest go on the bus
// later than they were due, counted.
inline constexpr uint64_t kSourceBudget = 100'000;

struct SimulationSettings {
  int channels = 2;
  Faults faults;
  uint64_t seed = 1;  // draws the device's sessions
  int64_t start_ns = 0;
  std::FILE* events = nullptr;
  BusSettings bus;
  double generate = 0.0;         // frames a second; 0: no generator
  uint64_t count = 0;            // the generator's frames; 0: without end
  std::vector<LogEntry> replay;  // empty: no replay
  uint64_t loops = 1;            // 0: without end
};

class Simulation {
 public:
  explicit Simulation(SimulationSettings settings);

  // Records the bus to `path` from now on; false, with recording_error()
  // set, if the file cannot be opened.
  bool record_to(const std::string& path, int64_t realtime_offset_ns);

  // A host's datagram that reached the device at `arrival_ns`.
  void handle(int channel, const sockaddr_in& from, const uint8_t* bytes, std::size_t size,
              int64_t arrival_ns, Outbox& outbox);
  // Runs the device and its bus up to `now_ns`, sends what waits.
  void step(int64_t now_ns, Outbox& outbox);
  // The device's time: the latest moment it has run to.
  int64_t time_ns() const { return time_ns_; }
  // When step() is next wanted.
  int64_t next_wake_ns(int64_t now_ns) const;
  // The replay played out and the bus carried it, or the recording failed.
  bool finished() const;
  // Ends the recording; false, with recording_error() set, if any of it failed.
  bool close_recording() { return recorder_.close(); }
  int recording_error() const { return recorder_.error(); }

  SimDevice& device() { return device_; }
  const SimDevice& device() const { return device_; }
  const Generator* generator() const { return generator_ ? &*generator_ : nullptr; }
  const Replayer* replayer() const { return replayer_ ? &*replayer_ : nullptr; }
  // Generated and replayed frames offered after their time: the device
  // could not keep up with them.
  uint64_t late() const { return late_; }

 private:
  // Offers every generated and replayed frame due by `until_ns` at its due
  // time, the bus run up to that time first, then runs the bus to `until_ns`.
  void catch_up(int64_t until_ns, Outbox& outbox);

  int64_t time_ns_;
  uint64_t budget_ = kSourceBudget;  // left until the next step
  uint64_t late_ = 0;
  SimDevice device_;
  std::optional<Generator> generator_;
  int generator_node_ = -1;
  std::optional<Replayer> replayer_;
  int replay_node_ = -1;
  Recorder recorder_;
};

}  // namespace zelbor::sim
