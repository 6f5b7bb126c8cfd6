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

namespace {

// The stand-in library's extensions are looked up once, not linked, so the
// programs still load against the device maker's library, which has none.
// Each record type has one call.
template <typename Record>
bool call_extension(const char* name, const InterfaceState* state, Record& record) {
  using Extension = int32_t (*)(const InterfaceState*, Record*);
  static const auto extension = reinterpret_cast<Extension>(
      platform::library_call(reinterpret_cast<const void*>(&ZelborStartInterface), name));
  return extension != nullptr && extension(state, &record) == 0;
}

}  // namespace

bool ZelborLibrary::read_counters(ZelborCounters& counters) {
  return call_extension("ZelborGetCounters", state_, counters);
}

bool ZelborLibrary::link_status(ZelborLinkStatus& status) {
  return call_extension("ZelborGetLinkStatus", state_, status);
}

}  // namespace rawcan
