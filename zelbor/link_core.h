// The host's side of the device link as a state machine without I/O. It is
// fed the datagrams that arrived, the time, and the library calls' requests;
// it hands back the datagrams to send (transmit()) and says when it next
// wants to be woken. It never reads a clock, touches a socket or waits, so
// the library's shell drives the same code over UDP and over the
// deterministic simulator's network.
#pragma once

#include <cstdint>

#include "frame_queue.h"
#include "ring.h"
#include "socket_ops.h"
#include "stream.h"
#include "wire.h"
#include "zelbor.h"
#include "zelbor_counters.h"

namespace zelbor {

inline constexpr int kKeepaliveIntervalMs = 500;
inline constexpr int kAckAttempts = 20;
inline constexpr int kAckWaitMs = 50;
inline constexpr int kControlWaitMs = 1;      // longest wait of an empty ZelborCtrlRead
inline constexpr int kResendIntervalMs = 50;  // frames the device has not taken go again
inline constexpr int kGoodbyeWaitMs = 50;     // longest wait of a stop for the device's answer
inline constexpr int kHeldBatches = 32;       // frame datagrams held until the device takes them
inline constexpr int kControlQueue = 32;      // control records waiting for ZelborCtrlRead
inline constexpr uint32_t kFrameWindow = 1u << 24;
inline constexpr uint32_t kControlWindowAhead = 512;
// Gaps no reordering of the device's datagrams could make: 80 full frame
// datagrams. A control record behind is delivered late anyway, so that
// stream never moves back at all.
inline constexpr uint32_t kFrameReorderSpan = 4096;
inline constexpr uint32_t kControlReorderSpan = DeliveredWindow::kSpan;
inline constexpr int kEarlierDeviceSessions = 8;  // remembered, so their late datagrams are dropped
inline constexpr int kReceiveRounds = 64;         // bounds one call's receiving under a flood
inline constexpr int kFirstRoundSlots = 8;        // the fewest slots a receive lends
inline constexpr int64_t kNsPerMs = 1'000'000;
inline constexpr int64_t kNever = INT64_MAX;

// How the sending of one datagram the core handed back went.
struct SendResult {
  bool sent;
  uint32_t retries;  // temporary failures before the send went, or was given up
};

// What a call is waiting for; receiving stops once it is there.
enum class Want { kFrames, kControl, kAck, kGoodbye, kEverything };

// The control write in progress, if any. Each write goes from kAwaitingAck
// to exactly one outcome, which control_write_result() reads and clears.
enum class ControlWrite : uint8_t {
  kIdle,
  kAwaitingAck,  // sent; sent again every kAckWaitMs, kAckAttempts times in all
  kAcked,
  kRefused,     // another host holds the channel
  kNoAnswer,    // every attempt went unanswered
  kSendFailed,  // the socket gave up on a send
};

// Where the link is in its life.
enum class Phase : uint8_t {
  kRunning,
  kLeaving,     // BYE sent to a known device: its answer is awaited, frames are counted, not kept
  kLeft,        // the answer came
  kGaveUp,      // the answer did not come within kGoodbyeWaitMs
  kNeverHeard,  // no device was heard, so none was waited for
};

class LinkCore {
 public:
  // Sends this run's HELLO; a device that is not there yet is no failure.
  void start(const sockaddr_in& device, uint32_t own_session, uint32_t run_start_ms,
             int64_t now_ns);

  // Receiving, without copies: lend() makes up to `most` slots ready for
  // datagrams (dropping the oldest unread frames, counted, should none be
  // free); take() sorts the first `received` of them and returns all the
  // slots.
  DatagramSlot* lend(int most, int& count);
  bool frames_full() const { return queue_.free_count() == 0; }  // lend() would drop the oldest
  // How many slots the next receive lends first: kFirstRoundSlots to kSlots.
  int receive_slots() const { return receive_slots_; }
  void set_receive_slots(int slots) {
    receive_slots_ = slots < kFirstRoundSlots     ? kFirstRoundSlots
                     : slots > FrameQueue::kSlots ? FrameQueue::kSlots
                                                  : slots;
  }
  // Whether a call waiting for `want` may drop unread frames for room: only
  // for what a call cannot end without (an ack, the goodbye), or when the
  // program reads no frames (the writer). A program that reads them gets
  // them all; what waits behind them is taken once it has.
  bool may_drop_frames_for(Want want) const {
    return want == Want::kAck || want == Want::kGoodbye || !frames_read_;
  }
  void take(int received, int64_t now_ns);
  bool has(Want want) const;

  // Held frames that the device has not taken go again, a quiet host tells
  // the device it is there, a control write's attempt or the wait for the
  // answer to BYE runs out.
  void on_time(int64_t now_ns);
  // The earliest moment on_time() has something to do (kNever: nothing).
  int64_t next_wake_ns() const;

  // The calls. A control write and a stop are begun here and end when
  // waiting() turns false.
  void begin_control_write(const CtrlMessage& message, int64_t now_ns);
  int32_t control_write_result();  // 0 or a ZELBOR_ERR_ or ERR_ code; back to kIdle
  void begin_stop(int64_t now_ns);
  bool waiting() const {
    return control_write_ == ControlWrite::kAwaitingAck || phase_ == Phase::kLeaving;
  }

  bool read_control(CtrlMessage& message);
  bool read_frame(RawCanMessage& message);
  // 0 if write_frames() would take the frames; ZELBOR_ERR_ARGUMENT for
  // frames no device can send; ZELBOR_ERR_BACKLOG when their datagrams
  // cannot all be held until the device takes them (all or nothing).
  int32_t check_write(const RawCanMessage* frames, int32_t count) const;
  // Holds and sends frames that check_write() passed.
  void write_frames(const RawCanMessage* frames, int32_t count, int64_t now_ns);

  // Hands each datagram the calls above decided to send to
  // `send(bytes, size)`, which returns a SendResult, oldest first. Callers
  // transmit after every call, so nothing waits in the core between calls.
  template <typename Send>
  void transmit(Send&& send) {
    for (std::size_t size = 0; (size = encode_next()) > 0; outbox_.pop_front()) {
      sent(send(static_cast<const uint8_t*>(transmit_), size));
    }
  }

  const ZelborCounters& counters() const { return counters_; }
  // Everything but the descriptor, which is the shell's.
  void status(int64_t now_ns, ZelborLinkStatus& status) const;
  Phase phase() const { return phase_; }
  uint32_t oldest_unacknowledged() const {
    return held_.empty() ? next_batch_ : held_.front().number;
  }

  // The invariants of the three queues below, for tests and the simulator.
  bool consistent() const;

 private:
  // A frame datagram sent to the device and held until the device takes it.
  struct HeldBatch {
    uint32_t number;
    uint16_t count;
    int64_t sent_ns;
    RawCanMessage frames[wire::kMaxFramesPerDatagram];
  };

  // A datagram decided on and not yet handed back, with the envelope it
  // had when it was decided on; its bytes are written when it is handed back.
  struct Outgoing {
    enum class What : uint8_t { kSignal, kAck, kBatch, kControl } what;
    wire::Kind signal;
    uint16_t acked_type;
    uint32_t acked_sequence;
    wire::Envelope envelope;
  };
  // The most one call decides on: an ack for every datagram one receive
  // lends, or every held batch again with a control attempt and HELLOs.
  static constexpr std::size_t kOutboxDepth = FrameQueue::kSlots + kHeldBatches + 4;

  wire::Envelope envelope(uint32_t sequence) const;
  bool queue_send(const Outgoing& outgoing);
  std::size_t encode_next();  // the oldest outgoing datagram into transmit_; 0 if none
  void sent(const SendResult& result);
  void send_signal(wire::Kind kind);
  void send_ack(uint16_t acked_type, uint32_t acked_sequence);
  void send_batch(HeldBatch& batch);
  void send_control_attempt();
  void release_taken(uint32_t next_taken);
  void queue_control(const CtrlMessage& record);
  bool follow_device_session(uint32_t session);
  uint16_t accept(const DatagramSlot& received);
  uint16_t accept_frames(const wire::Header& header);
  void accept_control(const wire::Datagram& datagram);
  void accept_ack(const wire::Datagram& datagram);

  int64_t now_ns_ = 0;  // the time of the call in progress
  sockaddr_in device_{};
  uint32_t own_session_ = 0;
  uint32_t run_start_ms_ = 0;  // tells the device which of two runs on one endpoint is newer
  // HELLO goes every kKeepaliveIntervalMs, however busy the link: it tells the
  // device this run's start, so a seat that a late datagram of an earlier run
  // took comes back to the newest run within that interval.
  int64_t last_hello_ns_ = 0;

  // The device's session with this host, and the streams it numbers.
  bool knows_device_ = false;
  uint32_t device_session_ = 0;
  int64_t device_heard_ns_ = 0;  // the last valid datagram of the device's current session
  // The device's sessions before the current one, oldest first: a late
  // datagram of any of them is stale, and never taken for a restart.
  rawcan::Ring<uint32_t, kEarlierDeviceSessions> earlier_device_sessions_;
  StreamTracker frames_from_device_{kFrameWindow, kFrameWindow, kFrameReorderSpan};
  StreamTracker controls_from_device_{kControlWindowAhead, DeliveredWindow::kSpan,
                                      kControlReorderSpan};
  DeliveredWindow delivered_controls_;

  // This host's own numbering.
  uint32_t next_control_ = 0;
  uint32_t next_batch_ = 0;

  Phase phase_ = Phase::kRunning;
  int64_t goodbye_deadline_ns_ = 0;

  ControlWrite control_write_ = ControlWrite::kIdle;
  int control_attempts_ = 0;
  int64_t attempt_deadline_ns_ = 0;
  uint16_t control_size_ = 0;
  uint16_t ack_type_ = 0;  // the pending control write's record and number
  uint32_t ack_sequence_ = 0;
  uint8_t control_datagram_[wire::kMaxControlDatagram] = {};

  // Batches written and not yet taken, oldest first, numbered one after
  // another up to next_batch_ - 1: the device takes them in order, so an ack
  // releases a prefix and a resend goes in that order.
  rawcan::Ring<HeldBatch, kHeldBatches> held_;

  // Control records for ZelborCtrlRead, oldest first; a full queue gives up
  // its oldest, counted.
  rawcan::Ring<CtrlMessage, kControlQueue> controls_;

  ZelborCounters counters_{};

  // Frames for ZelborRawCanRead; its slots are lent to receives by index.
  FrameQueue queue_;
  bool frames_read_ = false;  // the program has asked for frames
  DatagramSlot received_[FrameQueue::kSlots];
  uint16_t lent_[FrameQueue::kSlots];
  int lent_count_ = 0;
  int receive_slots_ = kFirstRoundSlots;
  rawcan::Ring<Outgoing, kOutboxDepth> outbox_;
  uint8_t transmit_[wire::kMaxDatagram];
};

// One call's receiving, as the shell does it: takes what
// receive(slots, count) has, up to `most` datagrams a round, without
// waiting (a round lends twice what the last round of the call before
// received, and each round it fills, twice as many again: an empty poll
// costs little, a flood few calls); unread frames are dropped for room only when waiting() says a
// datagram is there to take it and may_drop_frames_for(want); until what
// `want` names is there or nothing more is waiting. A flood of other datagrams costs
// time, not a false "no data"; bounded, so no flood holds a call for long.
template <typename Receive, typename Waiting, typename Clock, typename Send>
void receive_rounds(LinkCore& core, Want want, int most, Receive&& receive, Waiting&& waiting,
                    Clock&& clock, Send&& send) {
  int slots = core.receive_slots() < most ? core.receive_slots() : most;
  int received = -1;  // in the last round; none ran yet
  for (int round = 0; round < kReceiveRounds && !core.has(want); ++round) {
    if (core.frames_full() && (!core.may_drop_frames_for(want) || !waiting())) {
      break;
    }
    int lent = 0;
    DatagramSlot* lent_slots = core.lend(slots, lent);
    received = receive(lent_slots, lent);
    core.take(received, received > 0 ? clock() : 0);
    core.transmit(send);
    if (received < lent) {
      break;  // nothing more is waiting
    }
    slots = slots * 2 < most ? slots * 2 : most;
  }
  if (received >= 0) {
    core.set_receive_slots(received * 2);
  }
}

}  // namespace zelbor
