// The simulated device's behaviour, apart from its sockets: what it does with
// each datagram a host sends, and what it sends back. All channels share one
// bus: frames written on one channel reach the hosts of every other channel.
//
// Who may use a channel is its seat's (seat.h). The holder hears the bus once
// its CAN chip is initialised (INIT_CAN_CHIP), or at once if it says it knew
// an earlier session of the device. Frames that pass while it is away are
// dropped and counted, and show as a gap in its numbering.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "control_repeater.h"
#include "event_log.h"
#include "seat.h"
#include "wire.h"
#include "zelbor.h"

namespace zelbor::sim {

inline constexpr int64_t kRefusalSpacingNs = 10'000'000;

// Where the device's datagrams go; false if a datagram could not be sent.
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) = 0;
};

// Datagrams to hosts dropped on purpose, for fault tests. Which ones is a
// function of the seed, the channel, the kind of datagram (frames, control
// records, the rest) and its place among the channel's datagrams of that
// kind: the same seed drops the same ones whenever they are sent.
struct Faults {
  double drop = 0.0;  // the fraction dropped, 0 to 1
  uint64_t seed = 0;
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
  // `session_seed` draws the device's session numbers with its hosts.
  SimDevice(int channels, Faults faults, uint64_t session_seed, int64_t start_ns, std::FILE* events,
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
  void run_bus(int64_t now_ns, Outbox& outbox);
  // Runs the bus, then sends the ROOM records due by then.
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

  // Sees every frame that goes over the bus, in bus order, before any host:
  // `channel` is the sending channel, -1 for another node.
  class BusObserver {
   public:
    virtual void on_bus(int channel, const RawCanMessage& frame, int64_t end_of_frame_ns) = 0;

   protected:
    ~BusObserver() = default;
  };
  void add_bus_observer(BusObserver* observer) { observers_.push_back(observer); }

  int channels() const { return static_cast<int>(channels_.size()); }
  const ChannelStats& stats(int channel) const { return channels_[channel].stats; }
  bool host_present(int channel) const { return channels_[channel].seat.present(); }
  bool host_listening(int channel) const { return channels_[channel].seat.listening(); }

  // The 64-bit time count, 32 per microsecond since the device started.
  uint64_t time_count(int64_t now_ns) const;

 private:
  struct Channel {
    Seat seat;
    uint32_t session = 0;     // the device's session with this host
    uint32_t next_frame = 0;  // number of the next frame meant for the host
    uint32_t next_batch = 0;  // the host's frame datagram to take next
    uint64_t dropped_while_away = 0;
    bool room_reports = false;  // the host asked for ROOM records
    bool room_low = false;      // a MESSAGE_COUNT reported less room than the threshold
    RawCanMessage pending[wire::kMaxFramesPerDatagram]{};
    std::size_t pending_count = 0;
    ControlRepeater controls;
    uint32_t sent_of_stream[3] = {};  // datagrams of each Stream, for the choice of drops
    int64_t last_refusal_ns = INT64_MIN / 2;
    int64_t last_refusal_event_ns = INT64_MIN / 2;
    ChannelStats stats{};
  };

  void join(int channel, const sockaddr_in& from, const wire::Header& header, int64_t now_ns,
            Outbox& outbox);
  void start_listening(int channel, int64_t now_ns);
  void leave(int channel, const char* why, int64_t now_ns);
  void refuse(int channel, const sockaddr_in& from, const wire::Header& header, int64_t now_ns,
              Outbox& outbox);
  void take_frames(int channel, const wire::Datagram& datagram, int64_t now_ns, Outbox& outbox);
  uint16_t room(int channel) const;
  uint16_t room_threshold() const;
  void send_room(int channel, int64_t now_ns, Outbox& outbox);
  wire::Envelope envelope(const Channel& state, uint32_t sequence) const;
  void send_ack(int channel, uint16_t acked_type, uint32_t acked_number, Outbox& outbox);
  enum class Stream { kFrames, kControls, kOther };
  bool transmit(int channel, Stream stream, const uint8_t* bytes, std::size_t size, uint64_t frames,
                Outbox& outbox);
  void send_control(int channel, uint16_t type, const uint8_t* data, uint16_t length,
                    int64_t now_ns, Outbox& outbox);
  void pass_frame(int from_channel, RawCanMessage frame, int64_t end_of_frame_ns, Outbox& outbox);
  void flush_channel(int channel, Outbox& outbox);
  uint64_t next_random();
  bool should_drop(int channel, Stream stream);

  std::vector<Channel> channels_;
  Faults faults_;
  uint64_t random_state_;
  int64_t start_ns_;
  EventLog events_;

  bool anyone_listening_ = false;
  int64_t first_listen_ns_ = 0;

  Bus bus_;
  std::size_t tx_queue_;
  std::vector<std::string> node_names_;

  std::vector<BusObserver*> observers_;
};

}  // namespace zelbor::sim
