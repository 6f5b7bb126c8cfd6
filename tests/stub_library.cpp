// A device library with the six calls and nothing else, as the device
// maker's is: no counters. Every call succeeds, and one frame waits.
// With STUB_EXIT_AFTER=N in the environment it hands out N frames and then
// ends the process with exit(0) from inside the next read, as a library may
// do on a fatal error.
#include <cstdlib>

#include "zelbor.h"

extern "C" {

int32_t ZelborStartInterface(InterfaceState*, uint32_t, uint32_t, int32_t, int32_t, int32_t) {
  return 0;
}
int32_t ZelborStopInterface(InterfaceState*) {
  return 0;
}
int32_t ZelborCtrlWrite(InterfaceState*, const CtrlMessage*) {
  return 0;
}
int32_t ZelborCtrlRead(InterfaceState*, CtrlMessage*) {
  return ERR_NO_DATA;
}
int32_t ZelborRawCanWrite(InterfaceState*, const RawCanMessage*, int32_t) {
  return 0;
}
int32_t ZelborRawCanRead(InterfaceState*, RawCanMessage* message) {
  static const char* const exit_after = std::getenv("STUB_EXIT_AFTER");
  static const long frames = exit_after != nullptr ? std::atol(exit_after) : 1;
  static long delivered = 0;
  if (delivered == frames) {
    if (exit_after != nullptr) {
      std::exit(0);
    }
    return ERR_NO_DATA;
  }
  const auto id = static_cast<uint32_t>(0x123 + delivered++);
  *message = RawCanMessage{{0xAB}, 1, 0, {}, id, 0, 0, 0};
  return 0;
}

}  // extern "C"
