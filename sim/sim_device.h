// The simulated device's behaviour, apart from its sockets: what it does with
// each datagram a host sends, and what it sends back. All channels share one
// bus: frames written on one channel reach the hosts of every other channel.
//
// Each channel has one seat. The first host to send a datagram takes it, and
// hears the bus once its CAN chip is initialised (INIT_CAN_CHIP), or at once
// if it says it knew an earlier session of the device. The seat is its own:
// a host that goes silent keeps its seat and its numbering, and picks up
// where it left off when it is heard again; frames it missed meanwhile are
// dropped and counted, and show as a gap in its numbering. Another endpoint
// is refused, unless the holder has been silent for a minute and the
// newcomer means it (INIT_CAN_CHIP or frames). On the holder's own endpoint,
// a newer run of the program (its HELLO carries when the run started) takes
// the seat at once, and datagrams of older runs are ignored. A seat silent
// for 10 minutes is given up; BYE gives it up at once.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "ports.h"  // the shared port numbering
#include "wire.h"
#include "zelbor.h"

namespace zelbor::sim {

inline constexpr int64_t kHostTimeoutNs = 3'000'000'000;
inline constexpr int64_t kSeatKeepNs = 600'000'000'000;
inline constexpr int64_t kStrangerWaitNs = 60'000'000'000;
inline constexpr int kEventsPerSecond = 20;  // per channel; the rest are counted
inline constexpr int kRememberedHosts = 8;   // per channel, for hosts whose seat was given up
inline constexpr int64_t kControlRetryNs = 50'000'000;
inline constexpr int64_t kRefusalSpacingNs = 10'000'000;
// A control record is repeated until acknowledged, and given up once this
// many newer ones were sent: the host's window for delivering it once.
inline constexpr uint32_t kControlWindow = 256;

// Where the device's datagrams go; false if a datagram could not be sent.
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) = 0;
};

struct BusSettings {
  uint32_t bitrate = 0;       // bits a second; 0: an ideal bus with no queues or spacing
  std::size_t tx_queue = 64;  // frames each node's transmit queue holds
};

struct ChannelStats {
  uint64_t frames_in;          // frames the channel's host wrote, taken into its queue
  uint64_t frames_out;         // frames sent to the channel's host
  uint64_t dropped;            // frames meant for the channel's host that did not go out
  uint64_t datagrams_dropped;  // datagrams of any kind to the host that did not go out
  uint64_t controls_dropped;   // control records given up before the host acknowledged them
  uint64_t repeats;            // frame datagrams the host sent again, already taken
  uint64_t refused;            // datagrams from hosts refused while another held the channel
  uint64_t ignored;            // datagrams of older runs on the holder's endpoint
  uint64_t malformed;          // datagrams that failed a check
};

class SimDevice {
 public:
  // Each channel's host is a node on the bus, numbered as its channel.
  SimDevice(int channels, double drop_fraction, uint64_t seed, int64_t start_ns, std::FILE* events,
            BusSettings bus = {});

  void handle(int channel, const sockaddr_in& from, const uint8_t* bytes, std::size_t size,
              int64_t now_ns, Outbox& outbox);
  // Sends frames still waiting for a full datagram.
  void flush(Outbox& outbox);
  // Runs the bus up to now, notices silent hosts, repeats unacknowledged
  // control records, gives up old seats.
  void tick(int64_t now_ns, Outbox& outbox);

  // Another node on the bus (the generator, the replay); returns its number.
  int add_source(std::string name);
  // Offers a frame to a node's transmit queue; false if the queue is full.
  bool offer(int node, const RawCanMessage& frame, int64_t now_ns);
  // Runs the bus up to `now_ns`: frames whose end of frame has passed go to
  // every listening host but the sender's, stamped with that moment.
  void advance(int64_t now_ns, Outbox& outbox);
  // When the bus next has something to hand over (INT64_MAX: nothing waits).
  int64_t next_bus_event_ns() const { return bus_.next_event_ns(); }
  const Bus& bus() const { return bus_; }
  const std::string& node_name(int node) const {
    return node_names_[static_cast<std::size_t>(node)];
  }

  // Whether a host listens yet, and since when: the sources start then.
  bool anyone_listening() const { return anyone_listening_; }
  int64_t first_listen_ns() const { return first_listen_ns_; }

  // Writes every frame that goes over the bus to `file` in the candump log
  // format; wall-clock time is the monotonic time plus `realtime_offset_ns`.
  // tick() flushes it once a second, so a kill loses at most the last second.
  void set_recorder(std::FILE* file, int64_t realtime_offset_ns);
  // The errno of the first failed write to the recording, 0 if none; after
  // it nothing more is written.
  int record_error() const { return record_error_; }

  // Sees every frame that goes over the bus, in bus order, before any host:
  // `channel` is the sending channel, -1 for another node.
  class BusObserver {
   public:
    virtual void on_bus(int channel, const RawCanMessage& frame, int64_t end_of_frame_ns) = 0;

   protected:
    ~BusObserver() = default;
  };
  void set_bus_observer(BusObserver* observer) { observer_ = observer; }

  int channels() const { return static_cast<int>(channels_.size()); }
  const ChannelStats& stats(int channel) const { return channels_[channel].stats; }
  bool host_present(int channel) const {
    return channels_[channel].held && channels_[channel].present;
  }
  bool host_listening(int channel) const {
    return channels_[channel].held && channels_[channel].listening;
  }

  // The 64-bit time count, 32 per microsecond since the device started.
  uint64_t time_count(int64_t now_ns) const;

 private:
  struct Unacked {
    bool waiting;
    int64_t next_try_ns;
    std::size_t size;
    uint8_t bytes[wire::kHeaderSize + wire::kControlHeaderSize + 8];
  };
  // What the device keeps of a host whose seat was given up, so that it
  // takes none of its frame datagrams twice when it comes back.
  struct Remembered {
    sockaddr_in host{};
    uint32_t host_session = 0;
    uint32_t next_batch = 0;
    int64_t left_ns = INT64_MIN;
  };
  struct Channel {
    bool held = false;       // a host has the seat
    bool present = false;    // heard within kHostTimeoutNs
    bool listening = false;  // chip initialised: the host receives the bus
    sockaddr_in host{};
    uint32_t host_session = 0;
    bool run_start_known = false;
    uint32_t run_start_ms = 0;  // when the holder's run started, by its HELLO
    uint32_t session = 0;       // the device's session with this host
    int64_t last_heard_ns = 0;
    uint32_t next_frame = 0;    // number of the next frame meant for the host
    uint32_t next_control = 0;  // number of the next control record to the host
    uint32_t next_batch = 0;    // the host's frame datagram to take next
    uint64_t dropped_while_away = 0;
    bool room_reports = false;  // the host asked for ROOM records
    bool room_low = false;      // a MESSAGE_COUNT reported less room than the threshold
    RawCanMessage pending[wire::kMaxFramesPerDatagram]{};
    std::size_t pending_count = 0;
    std::vector<Unacked> unacked;  // by control number modulo kControlWindow
    uint32_t oldest_unacked = 0;
    uint32_t waiting_count = 0;
    int64_t last_refusal_ns = INT64_MIN / 2;
    int64_t last_refusal_event_ns = INT64_MIN / 2;
    int64_t events_second_ns = INT64_MIN / 2;
    int events_this_second = 0;
    uint64_t events_not_shown = 0;
    Remembered remembered[kRememberedHosts];
    ChannelStats stats{};
  };

  void join(int channel, const sockaddr_in& from, const wire::Header& header, int64_t now_ns,
            Outbox& outbox);
  void start_listening(int channel, int64_t now_ns);
  void leave(int channel, const char* why, int64_t now_ns);
  void refuse(int channel, const sockaddr_in& from, const wire::Header& header, int64_t now_ns,
              Outbox& outbox);
  void take_frames(int channel, const wire::Datagram& datagram, int64_t now_ns, Outbox& outbox);
  void acknowledged(int channel, uint32_t number);
  uint16_t room(int channel) const;
  uint16_t room_threshold() const;
  void send_room(int channel, int64_t now_ns, Outbox& outbox);
  wire::Envelope envelope(const Channel& state, uint32_t sequence) const;
  void send_ack(int channel, uint16_t acked_type, uint32_t acked_number, Outbox& outbox);
  bool transmit(int channel, const uint8_t* bytes, std::size_t size, uint64_t frames,
                Outbox& outbox);
  void send_control(int channel, uint16_t type, const uint8_t* data, uint16_t length,
                    int64_t now_ns, Outbox& outbox);
  void pass_frame(int from_channel, RawCanMessage frame, int64_t end_of_frame_ns, Outbox& outbox);
  void flush_channel(int channel, Outbox& outbox);
  void event(int channel, const sockaddr_in& host, const char* what, int64_t now_ns);
  bool may_take_seat(const Channel& state, const wire::Datagram& datagram, int64_t now_ns) const;
  uint64_t next_random();
  bool should_drop();

  std::vector<Channel> channels_;
  double drop_fraction_;
  uint64_t random_state_;
  int64_t start_ns_;
  std::FILE* events_;

  bool anyone_listening_ = false;
  int64_t first_listen_ns_ = 0;

  Bus bus_;
  std::size_t tx_queue_;
  std::vector<std::string> node_names_;

  BusObserver* observer_ = nullptr;
  std::FILE* record_ = nullptr;
  int record_error_ = 0;
  int64_t last_record_flush_ns_ = 0;
  int64_t realtime_offset_ns_ = 0;
};

}  // namespace zelbor::sim
