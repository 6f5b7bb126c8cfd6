// A device library with the six calls and nothing else, as the device
// maker's is: no counters. Every call succeeds, and one frame waits.
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
  static bool delivered = false;
  if (delivered) {
    return ERR_NO_DATA;
  }
  delivered = true;
  *message = RawCanMessage{{0xAB}, 1, 0, {}, 0x123, 0, 0, 0};
  return 0;
}

}  // extern "C"
