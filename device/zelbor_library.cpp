#include "library_calls.h"
#include "platform.h"

namespace rawcan {

int32_t ZelborLibrary::start(uint32_t device_address, uint32_t host_address, int32_t first_port,
                             int32_t second_port, int32_t channel) {
  return ZelborStartInterface(state_, device_address, host_address, first_port, second_port,
                              channel);
}

int32_t ZelborLibrary::stop() {
  return ZelborStopInterface(state_);
}

int32_t ZelborLibrary::ctrl_write(const CtrlMessage& message) {
  return ZelborCtrlWrite(state_, &message);
}

int32_t ZelborLibrary::ctrl_read(CtrlMessage& message) {
  return ZelborCtrlRead(state_, &message);
}

int32_t ZelborLibrary::raw_can_read(RawCanMessage& message) {
  return ZelborRawCanRead(state_, &message);
}

int32_t ZelborLibrary::raw_can_write(const RawCanMessage* frames, int32_t count) {
  return ZelborRawCanWrite(state_, frames, count);
}

bool ZelborLibrary::read_counters(ZelborCounters& counters) {
  // Looked up, not linked, so the programs still load against the device
  // maker's library, which has no such call.
  using GetCounters = int32_t (*)(const InterfaceState*, ZelborCounters*);
  static const auto get_counters = reinterpret_cast<GetCounters>(platform::library_call(
      reinterpret_cast<const void*>(&ZelborStartInterface), "ZelborGetCounters"));
  return get_counters != nullptr && get_counters(state_, &counters) == 0;
}

}  // namespace rawcan
