// The simulated device's behaviour, apart from its sockets: what it does with
// each datagram a host sends, and what it sends back. All channels share one
// bus: frames written on one channel reach the hosts of every other channel.
// A host joins a channel with its first datagram, and listens to the bus once
// its CAN chip is initialised (INIT_CAN_CHIP), or at once if it says it knew
// an earlier run of the device.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "candump.h"
#include "sequence.h"
#include "wire.h"
#include "zelbor.h"

namespace zelbor::sim {

inline constexpr int kBasePort = 34567;
inline constexpr int kMaxChannels = 64;
inline constexpr int64_t kHostTimeoutNs = 3'000'000'000;
inline constexpr int64_t kControlRetryNs = 50'000'000;
inline constexpr int kControlTries = 20;
inline constexpr int kUnackedCapacity = 8;

// Where the device's datagrams go; false if a datagram could not be sent.
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) = 0;
};

struct ChannelStats {
  uint64_t frames_in;          // frames the channel's host wrote
  uint64_t frames_out;         // frames sent to the channel's host
  uint64_t dropped;            // frames meant for the channel's host that did not go out
  uint64_t datagrams_dropped;  // datagrams of any kind to the host that did not go out
  uint64_t malformed;          // datagrams that failed a check
};

class SimDevice {
 public:
  SimDevice(int channels, uint32_t session, double drop_fraction, uint64_t seed, int64_t start_ns,
            std::FILE* events);

  void handle(int channel, const sockaddr_in& from, const uint8_t* bytes, std::size_t size,
              int64_t now_ns, Outbox& outbox);
  // Sends frames still waiting for a full datagram.
  void flush(Outbox& outbox);
  // Repeats unacknowledged control records and lets silent hosts go.
  void tick(int64_t now_ns, Outbox& outbox);

  // Puts `rate` frames a second on the bus, as another node would, from the
  // moment the first host listens; stops after `count` frames unless 0.
  void enable_generator(double rate, uint64_t count);
  // Puts on the bus the generated frames due by now.
  void generate(int64_t now_ns, Outbox& outbox);
  bool generator_running() const;
  uint64_t generated() const { return generated_; }

  // Puts the frames of a log on the bus with their original spacing, from the
  // moment the first host listens, `loops` times over (0: without end).
  void enable_replay(std::vector<LogEntry> entries, uint64_t loops);
  void replay(int64_t now_ns, Outbox& outbox);
  bool replay_running() const;
  bool replay_finished() const { return replay_finished_; }
  uint64_t replayed() const { return replayed_; }

  // Writes every frame that goes over the bus to `file` in the candump log
  // format; wall-clock time is the monotonic time plus `realtime_offset_ns`.
  void set_recorder(std::FILE* file, int64_t realtime_offset_ns);
  // The errno of the first failed write to the recording, 0 if none; after
  // it nothing more is written.
  int record_error() const { return record_error_; }

  bool has_pending_frames() const;
  int channels() const { return static_cast<int>(channels_.size()); }
  const ChannelStats& stats(int channel) const { return channels_[channel].stats; }
  bool host_present(int channel) const { return channels_[channel].host_present; }
  bool host_listening(int channel) const { return channels_[channel].host_listening; }

  // The 64-bit time count, 32 per microsecond since the device started.
  uint64_t time_count(int64_t now_ns) const;

 private:
  struct Unacked {
    bool used;
    uint32_t sequence;
    int tries_left;
    int64_t next_try_ns;
    std::size_t size;
    uint8_t bytes[wire::kHeaderSize + wire::kControlHeaderSize + 16];
  };
  struct Channel {
    bool host_present = false;
    bool host_listening = false;  // chip initialised: the host receives the bus
    sockaddr_in host{};
    int64_t last_heard_ns = 0;
    SequenceTracker from_host{};
    uint32_t send_sequence = 0;
    RawCanMessage pending[wire::kMaxFramesPerDatagram]{};
    std::size_t pending_count = 0;
    Unacked unacked[kUnackedCapacity]{};
    ChannelStats stats{};
  };

  void join(int channel, const sockaddr_in& from, int64_t now_ns);
  void start_listening(int channel, int64_t now_ns);
  void leave(int channel, const char* why);
  bool transmit(int channel, const uint8_t* bytes, std::size_t size, uint64_t frames,
                Outbox& outbox);
  void send_control(int channel, uint16_t type, const uint8_t* data, uint16_t length,
                    int64_t now_ns, Outbox& outbox);
  void put_on_bus(int from_channel, const wire::Datagram& datagram, int64_t now_ns, Outbox& outbox);
  void put_frame_on_bus(int from_channel, RawCanMessage frame, int64_t now_ns, Outbox& outbox);
  void flush_channel(int channel, Outbox& outbox);
  bool should_drop();

  std::vector<Channel> channels_;
  uint32_t session_;
  double drop_fraction_;
  uint64_t random_state_;
  int64_t start_ns_;
  std::FILE* events_;

  bool anyone_listening_ = false;
  int64_t first_listen_ns_ = 0;

  double generator_rate_ = 0;
  uint64_t generator_count_ = 0;
  uint64_t generated_ = 0;

  std::vector<LogEntry> replay_entries_;
  bool replay_enabled_ = false;
  bool replay_finished_ = false;
  uint64_t replay_loops_ = 0;
  uint64_t replay_loop_ = 0;
  std::size_t replay_next_ = 0;
  uint64_t replayed_ = 0;

  std::FILE* record_ = nullptr;
  int record_error_ = 0;
  int64_t realtime_offset_ns_ = 0;
};

}  // namespace zelbor::sim
