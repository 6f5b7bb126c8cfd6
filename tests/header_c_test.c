/* The library headers are plain C: this file compiles as C11 and checks the
 * record layouts from C's side. With --layout it prints every record's size
 * and every field's offset and size, which the python-can plugin's test
 * compares with its ctypes mirror. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "zelbor.h"
#include "zelbor_host.h"

#define SIZE(S) printf("%s - 0 %zu\n", #S, sizeof(S))
#define FIELD(S, f) printf("%s %s %zu %zu\n", #S, #f, offsetof(S, f), sizeof(((S*)0)->f))

static void print_layout(void) {
  SIZE(RawCanMessage);
  FIELD(RawCanMessage, data), FIELD(RawCanMessage, length), FIELD(RawCanMessage, aux_byte);
  FIELD(RawCanMessage, reserved), FIELD(RawCanMessage, id), FIELD(RawCanMessage, aux_word);
  FIELD(RawCanMessage, time_high), FIELD(RawCanMessage, time_low);
  SIZE(CtrlMessage);
  FIELD(CtrlMessage, type), FIELD(CtrlMessage, length), FIELD(CtrlMessage, data);
  SIZE(InterfaceState);
  FIELD(InterfaceState, opaque);
  SIZE(ZelborCounters);
  FIELD(ZelborCounters, datagrams_in), FIELD(ZelborCounters, datagrams_out);
  FIELD(ZelborCounters, frames_in), FIELD(ZelborCounters, frames_out);
  FIELD(ZelborCounters, frames_delivered), FIELD(ZelborCounters, malformed);
  FIELD(ZelborCounters, foreign), FIELD(ZelborCounters, frames_lost);
  FIELD(ZelborCounters, controls_lost), FIELD(ZelborCounters, stale);
  FIELD(ZelborCounters, out_of_window), FIELD(ZelborCounters, resyncs);
  FIELD(ZelborCounters, device_restarts), FIELD(ZelborCounters, frames_overflowed);
  FIELD(ZelborCounters, controls_overflowed), FIELD(ZelborCounters, batches_resent);
  FIELD(ZelborCounters, send_retries), FIELD(ZelborCounters, send_failures);
  SIZE(ZelborLinkStatus);
  FIELD(ZelborLinkStatus, descriptor), FIELD(ZelborLinkStatus, wake_within_ms);
  FIELD(ZelborLinkStatus, device_silent_ms), FIELD(ZelborLinkStatus, batches_held);
  FIELD(ZelborLinkStatus, frames_held);
  SIZE(ZelborHostCalls);
  FIELD(ZelborHostCalls, ctrl_write), FIELD(ZelborHostCalls, ctrl_read);
  FIELD(ZelborHostCalls, raw_can_read), FIELD(ZelborHostCalls, raw_can_write);
  FIELD(ZelborHostCalls, get_counters), FIELD(ZelborHostCalls, get_link_status);
  SIZE(ZelborHostOptions);
  FIELD(ZelborHostOptions, receive_capacity), FIELD(ZelborHostOptions, transmit_capacity);
  FIELD(ZelborHostOptions, echo_sent), FIELD(ZelborHostOptions, reserved);
  FIELD(ZelborHostOptions, loss_line_interval_ns), FIELD(ZelborHostOptions, receive_loss_name);
  SIZE(ZelborHostFrame);
  FIELD(ZelborHostFrame, frame), FIELD(ZelborHostFrame, flags), FIELD(ZelborHostFrame, at_ns);
  SIZE(ZelborHostWait);
  FIELD(ZelborHostWait, timeout_ns), FIELD(ZelborHostWait, descriptor);
  SIZE(ZelborHostState);
  FIELD(ZelborHostState, answering), FIELD(ZelborHostState, silent_ms);
  FIELD(ZelborHostState, write_error), FIELD(ZelborHostState, message_count);
  FIELD(ZelborHostState, received), FIELD(ZelborHostState, queued);
  FIELD(ZelborHostState, in_flight), FIELD(ZelborHostState, transmit_room);
  SIZE(ZelborHostTotals);
  FIELD(ZelborHostTotals, frames_received), FIELD(ZelborHostTotals, receive_buffer_full);
  FIELD(ZelborHostTotals, frames_taken), FIELD(ZelborHostTotals, frames_sent_again);
  FIELD(ZelborHostTotals, frames_not_sent), FIELD(ZelborHostTotals, frames_flushed);
  FIELD(ZelborHostTotals, lost_on_link), FIELD(ZelborHostTotals, not_read_in_time);
  FIELD(ZelborHostTotals, controls_lost), FIELD(ZelborHostTotals, device_restarts);
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--layout") == 0) {
    print_layout();
    return 0;
  }
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
