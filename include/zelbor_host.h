/*
 * The host driver: what a program that keeps one channel of the device open
 * does between its own input and output and the device library. It holds
 * the frames received until the program takes them, queues the program's
 * frames and writes them as the device makes room (sending again what the
 * device's MESSAGE_COUNT says it dropped), watches that the device answers,
 * and counts every frame lost on the way.
 *
 * It does no I/O of its own and never reads a clock: the program passes the
 * time (any monotonic count of nanoseconds) to each call, waits as the
 * driver advises (on the descriptor it names, if any, and the program's
 * own), and says what woke it. One driver serves one started interface.
 * The calls that reach the library (Create, Step, WaitAdvice, Woke,
 * GetTotals, TellLosses) must not overlap one another, nor any other call
 * into the library on that interface; the rest (Send, Receive,
 * DiscardQueued, Abandon, GetState, NextNote) may come from other threads
 * meanwhile and never wait for the library. Calls return 0 or a count on
 * success and a negative result code of zelbor.h or zelbor_counters.h on
 * failure; nothing is thrown across this interface.
 *
 * Example, one round of a program's loop:
 *   ZelborHostStep(host, now_ns);
 *   n = ZelborHostReceive(host, frames, 64);      (hand them on)
 *   ZelborHostSend(host, &frame, 1);              (0 taken: the queue is full)
 *   ZelborHostWaitAdvice(host, now_ns, &wait);    (poll wait.descriptor, if
 *   ZelborHostWoke(host, descriptor_readable);     not -1, for wait.timeout_ns)
 */
#ifndef ZELBOR_HOST_H
#define ZELBOR_HOST_H

#include "zelbor_counters.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(ZELBOR_HOST_BUILDING_LIBRARY)
#define ZELBOR_HOST_API __declspec(dllexport)
#elif defined(_WIN32)
#define ZELBOR_HOST_API __declspec(dllimport)
#elif defined(__GNUC__)
#define ZELBOR_HOST_API __attribute__((visibility("default")))
#else
#define ZELBOR_HOST_API
#endif

/* The library calls the driver makes, as the loaded library has them. The
 * two extensions may be null (the device maker's library has neither). */
typedef struct ZelborHostCalls {
  int32_t (*ctrl_write)(InterfaceState* state, const CtrlMessage* message);
  int32_t (*ctrl_read)(InterfaceState* state, CtrlMessage* message);
  int32_t (*raw_can_read)(InterfaceState* state, RawCanMessage* message);
  int32_t (*raw_can_write)(InterfaceState* state, const RawCanMessage* frames, int32_t count);
  int32_t (*get_counters)(const InterfaceState* state, ZelborCounters* counters);
  int32_t (*get_link_status)(const InterfaceState* state, ZelborLinkStatus* status);
} ZelborHostCalls;

typedef struct ZelborHostOptions {
  uint32_t receive_capacity;  /* frames held until the program takes them; beyond, counted lost */
  uint32_t transmit_capacity; /* frames queued for the device, room taken at creation; beyond,
                                 ZelborHostSend takes none */
  int32_t echo_sent;          /* nonzero: frames the device took come back, marked SENT */
  int32_t reserved;
  int64_t loss_line_interval_ns; /* the least time between two loss notes */
  char receive_loss_name[32];    /* the loss note's word for a full receive buffer */
} ZelborHostOptions;

enum { ZELBOR_HOST_SENT = 1 };        /* ZelborHostFrame.flags: a frame of ours, taken */
enum { ZELBOR_HOST_NEW_SESSION = 2 }; /* the first frame after the device restarted */

typedef struct ZelborHostFrame {
  RawCanMessage frame;
  uint32_t flags;
  int64_t at_ns; /* the time of the step that read it, or that saw it taken */
} ZelborHostFrame;

ZELBOR_STATIC_ASSERT(sizeof(ZelborHostFrame) == 40, "ZelborHostFrame is 40 bytes");
ZELBOR_STATIC_ASSERT(offsetof(ZelborHostFrame, flags) == 28, "flags at 28");
ZELBOR_STATIC_ASSERT(offsetof(ZelborHostFrame, at_ns) == 32, "at_ns at 32");

/* ZelborHostStep's result: what changed in that step. */
enum {
  ZELBOR_HOST_RECEIVED = 1, /* frames wait to be taken */
  ZELBOR_HOST_TAKEN = 2,    /* the device took frames: the queue has room */
  ZELBOR_HOST_CHANGED = 4,  /* the device's answering, a failure, or a note */
  ZELBOR_HOST_WROTE = 8     /* a write went: step again before waiting */
};

typedef struct ZelborHostWait {
  int64_t timeout_ns; /* the longest to wait before the next step; 0: step at once */
  int64_t descriptor; /* the library's socket, to wait on for reading; -1 if none */
} ZelborHostWait;

typedef struct ZelborHostState {
  int32_t answering;      /* 0 once the device has said nothing for 2 s */
  int32_t silent_ms;      /* how long it has said nothing */
  int32_t write_error;    /* the last write's failure other than a backlog; 0 if none */
  int32_t message_count;  /* the last MESSAGE_COUNT's count; -1 before the first */
  uint32_t received;      /* frames waiting to be taken */
  uint32_t queued;        /* frames queued for the device, those written and unanswered too */
  uint32_t in_flight;     /* frames written and unanswered */
  uint32_t transmit_room; /* frames ZelborHostSend takes now */
} ZelborHostState;

typedef struct ZelborHostTotals {
  uint64_t frames_received;     /* frames read from the library */
  uint64_t receive_buffer_full; /* of them, dropped: the receive buffer was full */
  uint64_t frames_taken;        /* frames the device took from the queue */
  uint64_t frames_sent_again;   /* frames written again after a short count */
  uint64_t frames_not_sent;     /* queued frames the device never took: given up */
  uint64_t frames_flushed;      /* queued frames the program discarded */
  uint64_t lost_on_link;        /* the library's frames_lost */
  uint64_t not_read_in_time;    /* the library's frames_overflowed */
  uint64_t controls_lost;       /* the library's controls_lost and controls_overflowed */
  uint64_t device_restarts;     /* the library's device_restarts */
} ZelborHostTotals;

typedef struct ZelborHost ZelborHost;

/* A driver for the started interface `state`, which must outlive it.
 * Asks the device for room reports where the library has the link status.
 * ZELBOR_ERR_ARGUMENT for a null pointer, a missing call or a capacity of
 * 0; ERR_NO_MEMORY. */
ZELBOR_HOST_API int32_t ZelborHostCreate(const ZelborHostCalls* calls, InterfaceState* state,
                                         const ZelborHostOptions* options, int64_t now_ns,
                                         ZelborHost** host);
ZELBOR_HOST_API void ZelborHostDestroy(ZelborHost* host);

/* Reads what the device sent, handles its reports, writes what may go, and
 * watches it; returns the ZELBOR_HOST_* bits of what changed. */
ZELBOR_HOST_API int32_t ZelborHostStep(ZelborHost* host, int64_t now_ns);
/* How long to wait, and on what, before the next step. */
ZELBOR_HOST_API int32_t ZelborHostWaitAdvice(ZelborHost* host, int64_t now_ns,
                                             ZelborHostWait* wait);
/* After the wait: whether the descriptor it named was readable. */
ZELBOR_HOST_API int32_t ZelborHostWoke(ZelborHost* host, int32_t descriptor_readable);

/* Queues up to `count` frames in order; returns how many it took (fewer
 * when the queue is full). */
ZELBOR_HOST_API int32_t ZelborHostSend(ZelborHost* host, const RawCanMessage* frames,
                                       int32_t count);
/* Moves up to `capacity` received frames, oldest first, to `frames`;
 * returns how many. */
ZELBOR_HOST_API int32_t ZelborHostReceive(ZelborHost* host, ZelborHostFrame* frames,
                                          int32_t capacity);
/* Drops the queued frames not yet written; returns how many (frames_flushed). */
ZELBOR_HOST_API int32_t ZelborHostDiscardQueued(ZelborHost* host);
/* Gives up every queued frame, written or not; returns how many (frames_not_sent). */
ZELBOR_HOST_API int32_t ZelborHostAbandon(ZelborHost* host);

ZELBOR_HOST_API int32_t ZelborHostGetState(ZelborHost* host, ZelborHostState* state);
/* Reads the library's counters first, where it has them. */
ZELBOR_HOST_API int32_t ZelborHostGetTotals(ZelborHost* host, ZelborHostTotals* totals);
/* The oldest note not yet taken (a line of text, no newline) into `text`,
 * cut to `capacity` - 1 bytes and terminated; returns its length, or
 * ERR_NO_DATA when none waits. */
ZELBOR_HOST_API int32_t ZelborHostNextNote(ZelborHost* host, char* text, int32_t capacity);
/* Makes a loss note now if frames were lost since the last one (the driver
 * makes one at most once per loss_line_interval_ns), reading the library's
 * counters first: for a program's last word. */
ZELBOR_HOST_API int32_t ZelborHostTellLosses(ZelborHost* host, int64_t now_ns);

/* The device's time on the host's clock. The device stamps each frame with
 * its own count (32 a microsecond from its start); the clock maps it onto the
 * time of the host's reads, laid at or below every arrival it has seen and
 * following the drift between the two clocks, so a frame's stamp is the
 * moment it was on the bus as the host's clock tells it, never later than
 * it arrived and never before the last stamp. A device that restarted starts
 * a new mapping. The same model serves a capture's timestamps and the
 * bridge's timed playout.
 *
 * Example, after each ZelborHostReceive of n frames:
 *   ZelborHostClockStamp(clock, frames, n, epoch_ns - monotonic_ns, stamps); */
typedef struct ZelborHostClock ZelborHostClock;

enum {
  ZELBOR_HOST_CLOCK_HOST = 0,  /* stamps on the host's scale of the arrivals */
  ZELBOR_HOST_CLOCK_DEVICE = 1 /* the device's own nanoseconds since its start */
};

/* ZELBOR_ERR_ARGUMENT for a null pointer or an unknown scale; ERR_NO_MEMORY. */
ZELBOR_HOST_API int32_t ZelborHostClockCreate(int32_t scale, ZelborHostClock** clock);
ZELBOR_HOST_API void ZelborHostClockDestroy(ZelborHostClock* clock);
/* Stamps `count` frames as ZelborHostReceive gave them, each once and in
 * the order received: stamps_ns[i] for frames[i], in nanoseconds on the
 * scale of at_ns + arrival_offset_ns (from 0; an offset moves the monotonic
 * at_ns onto the epoch, say). A frame of ours taken (ZELBOR_HOST_SENT) is
 * stamped as written at that time. Returns `count`. */
ZELBOR_HOST_API int32_t ZelborHostClockStamp(ZelborHostClock* clock, const ZelborHostFrame* frames,
                                             int32_t count, int64_t arrival_offset_ns,
                                             int64_t* stamps_ns);

#ifdef __cplusplus
}
#endif

#endif /* ZELBOR_HOST_H */
