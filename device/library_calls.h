// The programs' view of the device library: its six calls, and the counters
// of our own library where the loaded library has them. The programs' logic
// runs against the real library or against a scripted double in tests.
#pragma once

#include <cstdint>

#include "zelbor.h"
#include "zelbor_counters.h"

namespace rawcan {

class LibraryCalls {
 public:
  virtual ~LibraryCalls() = default;
  virtual int32_t start(uint32_t device_address, uint32_t host_address, int32_t first_port,
                        int32_t second_port, int32_t channel) = 0;
  virtual int32_t stop() = 0;
  virtual int32_t ctrl_write(const CtrlMessage& message) = 0;
  virtual int32_t ctrl_read(CtrlMessage& message) = 0;
  virtual int32_t raw_can_read(RawCanMessage& message) = 0;
  virtual int32_t raw_can_write(const RawCanMessage* frames, int32_t count) = 0;
  // False where the library has no counters, or has none for a stopped link.
  virtual bool read_counters(ZelborCounters& counters) = 0;
  // False where the library has no link status (the device maker's).
  virtual bool link_status(ZelborLinkStatus& /*status*/) { return false; }
};

// Forwards every call to the loaded libZelbor with one InterfaceState.
class ZelborLibrary final : public LibraryCalls {
 public:
  explicit ZelborLibrary(InterfaceState* state) : state_(state) {}
  int32_t start(uint32_t device_address, uint32_t host_address, int32_t first_port,
                int32_t second_port, int32_t channel) override;
  int32_t stop() override;
  int32_t ctrl_write(const CtrlMessage& message) override;
  int32_t ctrl_read(CtrlMessage& message) override;
  int32_t raw_can_read(RawCanMessage& message) override;
  int32_t raw_can_write(const RawCanMessage* frames, int32_t count) override;
  bool read_counters(ZelborCounters& counters) override;
  bool link_status(ZelborLinkStatus& status) override;

 private:
  InterfaceState* state_;
};

}  // namespace rawcan
