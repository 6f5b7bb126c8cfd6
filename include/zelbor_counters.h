/*
 * The stand-in library's extras beyond the device interface: its counters,
 * its link status, the result codes of its own, and the simulated device's
 * queue reports. Callers look ZelborGetCounters and ZelborGetLinkStatus up at
 * run time, so they still run against a library without them.
 */
#ifndef ZELBOR_COUNTERS_H
#define ZELBOR_COUNTERS_H

#include "zelbor.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  ZELBOR_ERR_NO_ANSWER = -12, /* the device did not acknowledge a control record */
  ZELBOR_ERR_ARGUMENT = -13,  /* a null pointer, a bad count, or a frame length above 8 */
  ZELBOR_ERR_NOT_STARTED = -14,
  ZELBOR_ERR_REFUSED = -15, /* another host holds the channel */
  ZELBOR_ERR_BACKLOG = -16  /* the device has not yet taken earlier frames; try again */
};

/*
 * The simulated device's reports on a channel's transmit queue (the device
 * maker's sends none of them). All fields little-endian.
 *
 * MESSAGE_COUNT from the device, length 8, answering a frame datagram:
 *   bytes 0-1  frames the transmit queue took
 *   bytes 2-3  room: frames the queue can take after this batch (capped 65535)
 *   bytes 4-7  the number (header sequence) of the frame datagram it answers
 * A device that sends length 2 has bytes 0-1 only.
 *
 * ZELBOR_ROOM_RECORD from the host (ZelborCtrlWrite), length 0: asks the
 * device for ROOM records for this host until the device starts a new
 * session with it (it restarted or gave the seat up; the READY record that
 * follows says so: ask again then).
 *
 * ZELBOR_ROOM_RECORD from the device, length 8: sent at once on the request,
 * and once the queue has drained to the threshold min(50, max(1, capacity /
 * 2)) after a MESSAGE_COUNT reported less room than that:
 *   bytes 0-1  room, as in MESSAGE_COUNT
 *   bytes 2-3  the queue's capacity (capped 65535)
 *   bytes 4-7  the number of the last frame datagram taken from this host
 *              (0xFFFFFFFF before the first)
 */
enum {
  ZELBOR_READY_RECORD = 0x8002, /* from the device, length 0: it knows this host again */
  ZELBOR_ROOM_RECORD = 0x8003
};

typedef struct ZelborCounters {
  uint64_t datagrams_in;        /* valid datagrams from the device */
  uint64_t datagrams_out;       /* datagrams sent to the device */
  uint64_t frames_in;           /* frames received from the device */
  uint64_t frames_out;          /* frames taken by ZelborRawCanWrite */
  uint64_t frames_delivered;    /* frames handed to ZelborRawCanRead callers */
  uint64_t malformed;           /* datagrams from the device that failed a check */
  uint64_t foreign;             /* datagrams from another address or port, or for another run */
  uint64_t frames_lost;         /* frames the device sent or dropped that never arrived */
  uint64_t controls_lost;       /* control records the device sent that never arrived */
  uint64_t stale;               /* duplicate or late datagrams, dropped */
  uint64_t out_of_window;       /* datagrams numbered far from the stream, dropped */
  uint64_t resyncs;             /* times a stream moved to a new run of numbers */
  uint64_t device_restarts;     /* times the device's session changed */
  uint64_t frames_overflowed;   /* frames dropped because nobody read them */
  uint64_t controls_overflowed; /* control records dropped because nobody read them */
  uint64_t batches_resent;      /* frame datagrams sent again, not yet taken by the device */
  uint64_t send_retries;        /* temporary send failures retried */
  uint64_t send_failures;       /* sends given up */
} ZelborCounters;

ZELBOR_API int32_t ZelborGetCounters(const InterfaceState* state, ZelborCounters* counters);

/* What a caller needs to wait on the link without polling it blindly. */
typedef struct ZelborLinkStatus {
  int64_t descriptor;       /* the link's socket, to poll or select for reading (a SOCKET on
                               Windows); -1 when not started */
  int32_t wake_within_ms;   /* the longest to wait before the next read call, so held frames go
                               again and the device keeps hearing this host; >= 0, rounded up;
                               0 while frames or control records wait to be read, which a call
                               may have taken off the socket, so that polling it does not tell */
  int32_t device_silent_ms; /* since a datagram of the device's current session last arrived;
                               -1 before the first; at most INT32_MAX */
  uint32_t batches_held;    /* frame datagrams written and not yet taken by the device */
  uint32_t frames_held;     /* the frames in them */
} ZelborLinkStatus;

ZELBOR_STATIC_ASSERT(sizeof(ZelborLinkStatus) == 24, "ZelborLinkStatus is 24 bytes");
ZELBOR_STATIC_ASSERT(offsetof(ZelborLinkStatus, wake_within_ms) == 8, "wake_within_ms at 8");
ZELBOR_STATIC_ASSERT(offsetof(ZelborLinkStatus, device_silent_ms) == 12, "device_silent_ms at 12");
ZELBOR_STATIC_ASSERT(offsetof(ZelborLinkStatus, batches_held) == 16, "batches_held at 16");
ZELBOR_STATIC_ASSERT(offsetof(ZelborLinkStatus, frames_held) == 20, "frames_held at 20");

/* Fills `status` and returns 0. On a state not started, or stopped, it fills
 * descriptor -1, device_silent_ms -1 and zeros, and returns
 * ZELBOR_ERR_NOT_STARTED; null pointers return ZELBOR_ERR_ARGUMENT. Reads
 * the clock and changes nothing. */
ZELBOR_API int32_t ZelborGetLinkStatus(const InterfaceState* state, ZelborLinkStatus* status);

#ifdef __cplusplus
}
#endif

#endif /* ZELBOR_COUNTERS_H */
