// The simulated device's recording: every frame that goes over the bus, in
// bus order, appended to a file in the candump log format. It writes as the
// programs' standard output does: the first failed write ends the recording,
// what the system took stays and nothing follows it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "output.h"
#include "sim_device.h"

namespace zelbor::sim {

inline constexpr int64_t kRecordFlushNs = 1'000'000'000;  // a kill loses at most this much

class Recorder final : public SimDevice::BusObserver {
 public:
  // Appends to `path`; wall-clock time is the monotonic time plus
  // `realtime_offset_ns`. False, with error() set, if it cannot be opened.
  bool open(const std::string& path, int64_t realtime_offset_ns);
  ~Recorder();

  void on_bus(int channel, const RawCanMessage& frame, int64_t end_of_frame_ns) override;
  // Writes what is buffered once kRecordFlushNs has passed since it last did.
  void flush_if_due(int64_t now_ns);
  // Writes what is buffered and closes the file; false, with error() set,
  // if any write or the close failed.
  bool close();

  bool failed() const { return error_ != 0; }
  int error() const { return error_; }  // the errno of the first failure, 0 if none

 private:
  int fd_ = -1;
  std::unique_ptr<rawcan::Output> out_;
  int error_ = 0;
  int64_t realtime_offset_ns_ = 0;
  int64_t last_flush_ns_ = 0;
};

}  // namespace zelbor::sim
