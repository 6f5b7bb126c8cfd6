// The exported C interface. Nothing may unwind across it: every call returns
// a result code.
#include "link.h"
#include "zelbor.h"
#include "zelbor_counters.h"

namespace {

template <typename Call>
int32_t guarded(Call call) noexcept {
  try {
    return call();
  } catch (...) {
    return ERR_SOCKET;
  }
}

}  // namespace

extern "C" {

ZELBOR_API int32_t ZelborStartInterface(InterfaceState* state, uint32_t device_address,
                                        uint32_t host_address, int32_t first_port,
                                        int32_t second_port, int32_t channel) {
  return guarded([&] {
    return zelbor::link_start(state, device_address, host_address, first_port, second_port,
                              channel);
  });
}

ZELBOR_API int32_t ZelborStopInterface(InterfaceState* state) {
  return guarded([&] { return zelbor::link_stop(state); });
}

ZELBOR_API int32_t ZelborCtrlWrite(InterfaceState* state, const CtrlMessage* message) {
  return guarded([&] { return zelbor::link_ctrl_write(state, message); });
}

ZELBOR_API int32_t ZelborCtrlRead(InterfaceState* state, CtrlMessage* message) {
  return guarded([&] { return zelbor::link_ctrl_read(state, message); });
}

ZELBOR_API int32_t ZelborRawCanRead(InterfaceState* state, RawCanMessage* message) {
  return guarded([&] { return zelbor::link_raw_can_read(state, message); });
}

ZELBOR_API int32_t ZelborRawCanWrite(InterfaceState* state, const RawCanMessage* frames,
                                     int32_t count) {
  return guarded([&] { return zelbor::link_raw_can_write(state, frames, count); });
}

ZELBOR_API int32_t ZelborGetCounters(const InterfaceState* state, ZelborCounters* counters) {
  return guarded([&] { return zelbor::link_counters(state, counters); });
}

ZELBOR_API int32_t ZelborGetLinkStatus(const InterfaceState* state, ZelborLinkStatus* status) {
  return guarded([&] { return zelbor::link_status(state, status); });
}

}  // extern "C"
