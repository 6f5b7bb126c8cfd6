// What the endless loops need from their surroundings: whether a stop was
// asked for, and a pause. The process version answers from SIGINT/SIGTERM
// and sleeps for real; tests substitute a fake clock.
#pragma once

#include <cstdio>

#include "device_link.h"

namespace rawcan {

inline constexpr int kIdlePauseMs = 20;

class Pacer {
 public:
  virtual ~Pacer() = default;
  virtual bool stop_requested() = 0;
  virtual void pause_ms(int milliseconds) = 0;
};

class ProcessPacer final : public Pacer {
 public:
  bool stop_requested() override;
  // Returns early when a signal arrives, so a stop is seen at once.
  void pause_ms(int milliseconds) override;
};

// Catches SIGINT and SIGTERM so the loops can finish their step and stop.
void install_stop_signal_handlers();

// The signal that asked for the stop, 0 if none.
int stop_signal();

// The orderly end after a stop signal: flush, stop the interface, then end
// with the signal's conventional status by re-raising it with its default
// action. Returns only if the signal did not end the process.
int finish_after_stop(DeviceLink& link, std::FILE* out);

}  // namespace rawcan
