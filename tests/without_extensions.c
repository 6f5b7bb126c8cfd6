/* Hides the stand-in library's extensions from a program, as the device
 * maker's library has none: the SocketCAN tests preload it (LD_PRELOAD), so
 * raw_can_bridge runs on the library's six calls alone. */
#include "zelbor_counters.h"

int32_t ZelborGetCounters(const InterfaceState* state, ZelborCounters* counters) {
  (void)state;
  (void)counters;
  return ZELBOR_ERR_NOT_STARTED;
}

int32_t ZelborGetLinkStatus(const InterfaceState* state, ZelborLinkStatus* status) {
  (void)state;
  (void)status;
  return ZELBOR_ERR_NOT_STARTED;
}
