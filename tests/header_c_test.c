/* The library header is plain C: this file compiles as C11 and checks the
 * record layouts from C's side. */
#include <stddef.h>
#include <stdio.h>

#include "zelbor.h"

int main(void) {
  RawCanMessage frames[2];
  CtrlMessage record;
  int failures = 0;
  failures += sizeof frames[0] != 28;
  failures += (size_t)((const char*)&frames[1] - (const char*)&frames[0]) != 28;
  failures += offsetof(RawCanMessage, time_low) != 24;
  failures += sizeof record != 528;
  failures += sizeof(InterfaceState) != 214840;
  failures += ERR_NO_DATA != -11 || INIT_CAN_CHIP != 3 || MESSAGE_COUNT != 4;
  printf("%s\n", failures == 0 ? "C layout ok" : "C layout differs");
  return failures == 0 ? 0 : 1;
}
