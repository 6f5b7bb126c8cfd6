#include "world.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <unordered_map>
#include <vector>

#include "link_core.h"
#include "ports.h"
#include "records.h"
#include "simulation.h"

namespace zelbor::simulation {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSecond = 1'000'000'000;
constexpr int kChannels = 3;                    // 0: the writer's, 1 and 2: readers'
constexpr std::size_t kSocketDatagrams = 4096;  // a host socket's buffer, in datagrams
constexpr int kBatchFrames = 50;
constexpr uint32_t kFirstBatchId = 1000;
constexpr int64_t kReportCheckNs =
    3 * kSecond;  // frames of a reported batch are on the bus by then
constexpr std::size_t kTraceSteps = 48;
constexpr uint64_t kBusLogBehind = 4096;  // bus frames kept behind the readers' oldest

// splitmix64: the one source of everything random, so a seed replays a run.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return uniform() < p; }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(next() % static_cast<uint64_t>(high - low + 1));
  }
  // Log-uniform: as many short spans as long ones.
  int64_t spread(int64_t low, int64_t high) {
    return static_cast<int64_t>(std::exp(std::log(static_cast<double>(low)) +
                                         uniform() * std::log(static_cast<double>(high) / low)));
  }
  int64_t exponential(int64_t mean) {
    return static_cast<int64_t>(-std::log(1.0 - uniform()) * static_cast<double>(mean)) + 1;
  }
  template <typename T, std::size_t N>
  T pick(const T (&options)[N]) {
    return options[next() % N];
  }

 private:
  uint64_t state_;
};

sockaddr_in address(uint32_t host, int port) {
  return ipv4_endpoint(host, static_cast<uint16_t>(port));
}
constexpr uint32_t kDeviceAddress = 0x0A000001;    // 10.0.0.1
constexpr uint32_t kHostAddress = 0x0A000002;      // 10.0.0.2
constexpr uint32_t kStrangerAddress = 0x0A000009;  // 10.0.0.9
sockaddr_in device_endpoint(int channel) {
  return address(kDeviceAddress, rawcan::device_port_of(channel));
}
sockaddr_in host_endpoint(int channel) {
  return address(kHostAddress, rawcan::host_port_of(channel));
}
bool same(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}
int channel_of_port(const sockaddr_in& endpoint) {
  return (ntohs(endpoint.sin_port) - rawcan::kDeviceBasePort) / 2;
}

// A frame on the bus, by everything a host sees of it but the time.
struct FrameKey {
  uint32_t id;
  uint64_t data;
  bool operator==(const FrameKey& other) const { return id == other.id && data == other.data; }
};
FrameKey key_of(const RawCanMessage& frame) {
  uint64_t data = 0;
  std::memcpy(&data, frame.data, sizeof data);
  return {frame.id, data};
}

struct InFlight {
  int64_t at;
  uint64_t order;
  sockaddr_in from;
  sockaddr_in to;
  std::vector<uint8_t> bytes;
};
struct Later {
  bool operator()(const InFlight& a, const InFlight& b) const {
    return a.at != b.at ? a.at > b.at : a.order > b.order;
  }
};

enum class Program { kOff, kStarting, kRunning, kStopping };

// One writer batch as the writer made it, and what became of it.
struct Batch {
  bool accepted = false;  // the library took it
  uint32_t number = 0;    // its datagram's number
  int64_t accepted_ns = 0;
  bool excused = false;  // held when the device restarted: it may reach the bus twice, or never
  int reported = -1;     // frames MESSAGE_COUNT said the queue took
  int64_t reported_ns = 0;
  int on_bus = 0;
};

struct Host {
  int channel = 0;
  bool writer = false;
  sockaddr_in endpoint{};
  Program program = Program::kOff;
  std::unique_ptr<LinkCore> core;
  uint32_t session = 0;
  uint32_t run = 0;  // the program's run, in the writer's frames
  int64_t next_step = 0;
  int64_t poll_origin = 0;   // the program polls every 1 ms from here
  int64_t paused_until = 0;  // stopped (SIGSTOP) until then
  int64_t call_began = 0;
  std::deque<InFlight> socket;  // arrived, not yet received
  // The reader's run.
  uint64_t next_bus_index = 0;      // no frame before this one on the bus may be read
  uint64_t device_incarnation = 0;  // at the run's start
  int64_t last_read_ns = 0;
  // The writer's run.
  uint32_t counter = 0;
  uint32_t first_counter = 0;
  std::deque<Batch> batches;          // by counter, from first_counter
  uint32_t last_on_bus = UINT32_MAX;  // counter * 64 + index of its last frame on the bus
  int64_t last_taken_ns = 0;
};

enum class Step : uint8_t {
  kToDevice,
  kToHost,
  kDropped,
  kDeviceTimer,
  kHostStep,
  kRead,
  kWrite,
  kReport,
  kStart,
  kStarted,
  kStopped,
  kPartition,
  kDeviceRestart,
  kKill,
  kStop,
  kPause,
  kStray,
  kForged,
};
const char* step_name(Step step) {
  static const char* const names[] = {
      "to device",      "to host", "dropped", "device timer", "host step", "read",
      "write",          "report",  "start",   "started",      "stopped",   "partition",
      "device restart", "kill",    "stop",    "pause",        "stray",     "forged"};
  return names[static_cast<int>(step)];
}
struct TraceEntry {
  uint64_t step;
  int64_t at;
  Step what;
  int who;
  uint64_t a;
  uint64_t b;
};

class World final : sim::Outbox, sim::SimDevice::BusObserver {
 public:
  World(uint64_t seed, int64_t duration_ns) : random_(seed), end_ns_(duration_ns) {
    report_.seed = seed;
    heal_ns_ = duration_ns - kHealedNs;
    static const uint32_t kBitrates[] = {10'000, 10'000, 20'000, 50'000};
    bitrate_ = random_.pick(kBitrates);
    static const double kLoss[] = {0.0, 0.001, 0.02, 0.1, 0.3};
    loss_ = random_.pick(kLoss);
    static const double kDuplicate[] = {0.0, 0.01, 0.1};
    duplicate_ = random_.pick(kDuplicate);
    delay_ns_ = random_.spread(500'000, 20 * kMs);
    jitter_ns_ = random_.chance(0.5) ? 0 : random_.spread(kMs / 10, 50 * kMs);
    static const double kSpikes[] = {0.0, 0.001, 0.01};
    spike_ = random_.pick(kSpikes);
    static const int64_t kEvery[] = {20 * kSecond, 120 * kSecond, 600 * kSecond, INT64_MAX / 4};
    partition_every_ = random_.pick(kEvery);
    device_restart_every_ = random_.pick(kEvery);
    program_fault_every_ = random_.pick(kEvery);
    stray_every_ = random_.pick(kEvery) / 10;
    // A source at a fifth to a half of what the bus carries of 8-byte frames.
    source_interval_ns_ = kSecond * 135 / bitrate_ * random_.between(2, 5);

    for (int channel = 0; channel < kChannels; ++channel) {
      Host& host = hosts_[channel];
      host.channel = channel;
      host.writer = channel == 0;
      host.endpoint = host_endpoint(channel);
      host.next_step = random_.between(0, kSecond);
    }
    restart_device();
    next_partition_ = random_.exponential(partition_every_);
    next_device_restart_ = random_.exponential(device_restart_every_);
    next_program_fault_ = random_.exponential(program_fault_every_);
    next_stray_ = random_.exponential(stray_every_);
  }

  Report run() {
    while (violation_.empty()) {
      const int64_t next = next_event();
      if (next >= end_ns_) {
        break;
      }
      now_ = next;
      ++step_;
      dispatch();
    }
    if (violation_.empty()) {
      now_ = end_ns_;  // nothing more happens before the end
      check_end();
    }
    report_.simulated_ns = now_;
    report_.steps = step_;
    report_.violation = violation_;
    if (!violation_.empty()) {
      report_.trace = format_trace();
    }
    return report_;
  }

 private:
  // --- the event loop -----------------------------------------------------

  int64_t next_event() const {
    int64_t next = device_timer_;
    if (!network_.empty()) {
      next = std::min(next, network_.top().at);
    }
    for (const Host& host : hosts_) {
      next = std::min(next, host.next_step);
    }
    if (now_ < heal_ns_) {
      next = std::min({next, next_partition_, next_device_restart_, next_program_fault_,
                       next_stray_, partition_end_});
    } else {
      next = std::min(next, partition_end_);
    }
    return std::max(next, now_);
  }

  void dispatch() {
    while (!network_.empty() && network_.top().at <= now_) {
      InFlight datagram = network_.top();
      network_.pop();
      deliver(std::move(datagram));
    }
    if (partition_end_ <= now_) {
      partition_end_ = INT64_MAX;
      partitioned_ = -2;
    }
    if (now_ < heal_ns_) {
      inject_faults();
    }
    if (device_timer_ <= now_) {
      run_device();
    }
    for (Host& host : hosts_) {
      if (host.next_step <= now_) {
        trace(Step::kHostStep, host.channel, static_cast<uint64_t>(host.program), 0);
        step_host(host);
        check_host(host);  // only a host's own step changes its link
      }
    }
  }

  void trace(Step what, int who, uint64_t a, uint64_t b) {
    trace_[trace_next_++ % kTraceSteps] = {step_, now_, what, who, a, b};
  }

  std::string format_trace() const {
    std::string text;
    const std::size_t count = std::min<std::size_t>(trace_next_, kTraceSteps);
    for (std::size_t i = trace_next_ - count; i < trace_next_; ++i) {
      const TraceEntry& entry = trace_[i % kTraceSteps];
      char line[160];
      std::snprintf(line, sizeof line, "  step %llu at %.6f s: %s, channel %d, %llu, %llu\n",
                    static_cast<unsigned long long>(entry.step),
                    static_cast<double>(entry.at) * 1e-9, step_name(entry.what), entry.who,
                    static_cast<unsigned long long>(entry.a),
                    static_cast<unsigned long long>(entry.b));
      text += line;
    }
    return text;
  }

  void fail(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!violation_.empty()) {
      return;
    }
    char text[400];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    char where[120];
    std::snprintf(where, sizeof where, "seed %llu, step %llu, at %.6f s: ",
                  static_cast<unsigned long long>(report_.seed),
                  static_cast<unsigned long long>(step_), static_cast<double>(now_) * 1e-9);
    violation_ = std::string(where) + text;
  }

  // --- the network ----------------------------------------------------------

  bool cut_off(const sockaddr_in& a, const sockaddr_in& b) const {
    if (partitioned_ == -2) {
      return false;
    }
    if (partitioned_ == -1) {
      return true;
    }
    const sockaddr_in& cut = hosts_[partitioned_].endpoint;
    return same(a, cut) || same(b, cut);
  }

  void put_on_network(const sockaddr_in& from, const sockaddr_in& to, const uint8_t* bytes,
                      std::size_t size, bool faulty) {
    if (faulty && cut_off(from, to)) {
      ++report_.faults.partitioned;
      return;
    }
    const bool healed = now_ >= heal_ns_;
    for (int copy = 0; copy < 2; ++copy) {
      if (copy == 1 && (healed || !faulty || !random_.chance(duplicate_))) {
        break;
      }
      if (!healed && faulty && random_.chance(loss_)) {
        ++report_.faults.lost;
        continue;
      }
      int64_t delay = delay_ns_ + (jitter_ns_ > 0 ? random_.between(0, jitter_ns_) : 0);
      if (!healed && faulty && random_.chance(spike_)) {
        delay += random_.spread(100 * kMs, 10 * kSecond);
        ++report_.faults.delayed;
      }
      report_.faults.duplicated += copy;
      const int64_t at = now_ + delay;
      if (at < latest_arrival_) {
        ++report_.faults.reordered;
      }
      latest_arrival_ = std::max(latest_arrival_, at);
      network_.push({at, order_++, from, to, std::vector<uint8_t>(bytes, bytes + size)});
    }
  }

  void deliver(InFlight datagram) {
    if (datagram.to.sin_addr.s_addr == htonl(kDeviceAddress)) {
      trace(Step::kToDevice, channel_of_port(datagram.to), datagram.bytes.size(), 0);
      device_->handle(channel_of_port(datagram.to), datagram.from, datagram.bytes.data(),
                      datagram.bytes.size(), now_, *this);
      device_timer_ = now_;  // its main loop ticks and flushes after every receive
      return;
    }
    for (Host& host : hosts_) {
      if (!same(datagram.to, host.endpoint)) {
        continue;
      }
      if (host.program == Program::kOff) {
        trace(Step::kDropped, host.channel, 0, 0);  // no socket bound
        return;
      }
      if (host.socket.size() == kSocketDatagrams) {
        ++report_.faults.overflowed;
        return;
      }
      trace(Step::kToHost, host.channel, datagram.bytes.size(), 0);
      host.socket.push_back(std::move(datagram));
      wake_for_arrival(host);
      return;
    }
  }

  // The device's datagrams, on their way; what it numbers for each host is
  // kept as the truth its loss counts are checked against.
  bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) override {
    wire::Datagram datagram{};
    if (wire::decode(bytes, size, datagram) == wire::DecodeError::kNone) {
      const wire::Header& header = datagram.header;
      uint64_t end = 0;
      if (header.kind == wire::Kind::kFrames) {
        end = uint64_t{header.envelope.sequence} + header.count;
      } else if (header.kind == wire::Kind::kAck) {
        CtrlMessage record{};
        wire::control_record(datagram, record);
        uint16_t type = 0;
        uint32_t number = 0;
        if (wire::parse_ack(record, type, number) && type == wire::kGoodbyeAckedType) {
          end = number;
        }
      }
      if (end != 0) {
        uint64_t& numbered = numbered_[{header.envelope.session, header.envelope.peer}];
        if (end > numbered) {
          numbered_for_host_[header.envelope.peer] += end - numbered;
          numbered = end;
        }
      }
      last_device_datagram_.assign(bytes, bytes + size);
    }
    put_on_network(device_endpoint(channel), to, bytes, size, true);
    return true;
  }

  // --- faults ---------------------------------------------------------------

  void inject_faults() {
    if (next_partition_ <= now_) {
      next_partition_ = now_ + random_.exponential(partition_every_);
      partitioned_ = random_.chance(0.5) ? -1 : static_cast<int>(random_.between(0, kChannels - 1));
      const int64_t length = random_.chance(0.05) ? random_.between(61, 90) * kSecond
                                                  : random_.spread(50 * kMs, 20 * kSecond);
      partition_end_ = std::min(now_ + length, heal_ns_);
      ++report_.faults.partitions;
      trace(Step::kPartition, partitioned_, static_cast<uint64_t>(length), 0);
    }
    if (next_device_restart_ <= now_) {
      next_device_restart_ = now_ + random_.exponential(device_restart_every_);
      ++report_.faults.device_restarts;
      restart_device();
    }
    if (next_program_fault_ <= now_) {
      next_program_fault_ = now_ + random_.exponential(program_fault_every_);
      program_fault(hosts_[random_.between(0, kChannels - 1)]);
    }
    if (next_stray_ <= now_) {
      next_stray_ = now_ + random_.exponential(stray_every_);
      inject_stray();
    }
  }

  void restart_device() {
    trace(Step::kDeviceRestart, -1, device_incarnation_, 0);
    ++device_incarnation_;
    sim::SimulationSettings settings;
    settings.channels = kChannels;
    settings.seed = random_.next();
    settings.start_ns = now_;
    settings.bus = {bitrate_, 64};
    device_ = std::make_unique<sim::Simulation>(std::move(settings));
    source_node_ = device_->device().add_source("source");
    device_->device().add_bus_observer(this);
    next_source_ = now_;
    device_timer_ = now_;
    // A batch the writer holds may have been taken by the device that is
    // gone, so it may reach the bus again; one it took but had not yet put
    // on the bus is lost with its queue.
    for (Batch& batch : hosts_[0].batches) {
      batch.excused = batch.excused ||
                      (batch.accepted && !(batch.reported >= 0 && batch.on_bus == batch.reported));
    }
  }

  void program_fault(Host& host) {
    if (host.program != Program::kRunning) {
      return;
    }
    const uint64_t kind = random_.next() % 3;
    if (kind == 0) {
      ++report_.faults.program_kills;
      trace(Step::kKill, host.channel, host.session, 0);
      end_run(host, false);
    } else if (kind == 1) {
      ++report_.faults.program_stops;
      trace(Step::kStop, host.channel, host.session, 0);
      begin_stop(host);
    } else {
      ++report_.faults.program_pauses;
      const int64_t pause = random_.spread(100 * kMs, 15 * kSecond);
      trace(Step::kPause, host.channel, static_cast<uint64_t>(pause), 0);
      host.next_step = now_ + pause;
      host.paused_until = now_ + pause;
    }
  }

  void inject_stray() {
    if (last_device_datagram_.empty()) {
      return;
    }
    const int channel = static_cast<int>(random_.between(0, kChannels - 1));
    std::vector<uint8_t> bytes = last_device_datagram_;
    if (random_.chance(0.5)) {
      // A valid datagram of the device's, from an address that is not the device's.
      ++report_.faults.strays;
      trace(Step::kStray, channel, bytes.size(), 0);
      put_on_network(address(kStrangerAddress, 40000 + static_cast<int>(random_.between(0, 99))),
                     host_endpoint(channel), bytes.data(), bytes.size(), false);
      return;
    }
    // From the device's address: cut short, bytes changed where the codec
    // checks them, or meant for another run of the program.
    ++report_.faults.forged;
    const uint64_t how = random_.next() % 4;
    if (how == 0) {
      bytes.resize(
          static_cast<std::size_t>(random_.between(0, static_cast<int64_t>(bytes.size()) - 1)));
    } else if (how == 1) {
      bytes[static_cast<std::size_t>(random_.between(0, 3))] ^= 0x40;  // magic, version or kind
    } else if (how == 2) {
      bytes.resize(wire::kMaxDatagram + 1 + static_cast<std::size_t>(random_.between(0, 100)),
                   0x5A);
    } else {
      bytes[8] ^= 0x01;  // the peer: another run's session
    }
    trace(Step::kForged, channel, how, 0);
    put_on_network(device_endpoint(channel), host_endpoint(channel), bytes.data(), bytes.size(),
                   false);
  }

  // --- the device -----------------------------------------------------------

  void run_device() {
    trace(Step::kDeviceTimer, -1, 0, 0);
    if (device_->device().anyone_listening()) {
      while (next_source_ <= now_) {
        RawCanMessage frame{};
        frame.id = 0x100 + static_cast<uint32_t>(source_serial_ % 16);
        frame.length = 8;
        std::memcpy(frame.data, &source_serial_, sizeof source_serial_);
        ++source_serial_;
        device_->device().offer(source_node_, frame, now_);
        next_source_ += source_interval_ns_;
      }
    } else {
      next_source_ = now_ + source_interval_ns_;
    }
    device_->step(now_, *this);
    device_timer_ = std::min(device_->next_wake_ns(now_),
                             device_->device().anyone_listening() ? next_source_ : INT64_MAX);
    device_timer_ = std::max(device_timer_, now_ + 1);
  }

  void on_bus(int channel, const RawCanMessage& frame, int64_t) override {
    bus_log_.push_back(key_of(frame));
    // Kept from the oldest frame a reader may still be handed, and some
    // before it, so that a frame handed over twice is named as such.
    uint64_t needed = bus_log_base_ + bus_log_.size();
    for (const Host& host : hosts_) {
      if (!host.writer && host.program != Program::kOff) {
        needed = std::min(needed, host.next_bus_index);
      }
    }
    needed = needed > kBusLogBehind ? needed - kBusLogBehind : 0;
    for (; bus_log_base_ < needed; ++bus_log_base_) {
      bus_log_.pop_front();
    }
    if (channel == 0) {
      writer_frame_on_bus(frame);
    }
  }

  void writer_frame_on_bus(const RawCanMessage& frame) {
    Host& writer = hosts_[0];
    const uint32_t counter = rawcan::load_le32(frame.data);
    const uint32_t run = rawcan::load_le32(frame.data + 4);
    const uint32_t index = frame.id - kFirstBatchId;
    if (run != writer.run || writer.batches.empty() || counter < writer.first_counter ||
        counter - writer.first_counter >= writer.batches.size()) {
      return;  // an earlier run's, sent before it ended
    }
    Batch& batch = writer.batches[counter - writer.first_counter];
    const uint32_t position = counter * 64 + index;
    if (!batch.accepted) {
      fail("writer frame %u of batch %u on the bus, a batch the library refused", index, counter);
    } else if (writer.last_on_bus != UINT32_MAX && position <= writer.last_on_bus &&
               !batch.excused) {
      fail("writer frame %u of batch %u on the bus after frame %u of batch %u", index, counter,
           writer.last_on_bus % 64, writer.last_on_bus / 64);
    }
    writer.last_on_bus = position;
    ++batch.on_bus;
  }

  // --- the programs ---------------------------------------------------------

  class HostTransmit {
   public:
    HostTransmit(World& world, const Host& host) : world_(world), host_(host) {}
    SendResult operator()(const uint8_t* bytes, std::size_t size) {
      world_.put_on_network(host_.endpoint, device_endpoint(host_.channel), bytes, size, true);
      return {true, 0};
    }

   private:
    World& world_;
    const Host& host_;
  };

  // What the library does at the start of each call: receive, then on_time.
  void receive_pending(Host& host, Want want) {
    HostTransmit out(*this, host);
    // As many slots as datagrams wait, or one for a round that finds none:
    // what the library would lend and give back changes nothing.
    const int waiting =
        static_cast<int>(std::min<std::size_t>(host.socket.size(), FrameQueue::kSlots));
    receive_rounds(
        *host.core, want, waiting > 0 ? waiting + 1 : 1,
        [&host](DatagramSlot* slots, int count) {
          int received = 0;
          while (received < count && !host.socket.empty()) {
            const InFlight& datagram = host.socket.front();
            DatagramSlot& slot = slots[received++];
            slot.cut = datagram.bytes.size() > slot.capacity;
            slot.size = std::min(datagram.bytes.size(), slot.capacity);
            std::copy_n(datagram.bytes.begin(), slot.size, slot.bytes);  // an empty one too
            slot.source = datagram.from;
            host.socket.pop_front();
          }
          return received;
        },
        [&host] { return !host.socket.empty(); }, [this] { return now_; }, out);
    host.core->on_time(now_);
    host.core->transmit(out);
  }

  // The programs sleep 1 ms between polls: the next poll that finds work.
  void wake_for_arrival(Host& host) {
    if (host.program == Program::kOff || now_ < host.paused_until) {
      return;
    }
    host.next_step = std::min(host.next_step, polled(host, now_));
  }
  int64_t polled(const Host& host, int64_t at) const {
    if (host.program == Program::kStarting || host.program == Program::kStopping) {
      return at;  // a call waiting on the socket wakes when a datagram arrives
    }
    const int64_t since = at - host.poll_origin;
    return host.poll_origin + (since + kMs - 1) / kMs * kMs;
  }
  void schedule(Host& host) {
    if (host.program == Program::kOff) {
      return;
    }
    int64_t next = host.core->next_wake_ns();
    if (!host.socket.empty()) {
      next = now_;
    }
    next = polled(host, std::max(next, now_ + 1));
    host.next_step = next;
  }

  void step_host(Host& host) {
    host.next_step = INT64_MAX;
    switch (host.program) {
      case Program::kOff:
        start_run(host);
        break;
      case Program::kStarting:
        receive_pending(host, Want::kAck);
        if (!host.core->waiting()) {
          finish_start(host);
        }
        break;
      case Program::kRunning:
        host.writer ? write_step(host) : read_step(host);
        break;
      case Program::kStopping:
        receive_pending(host, Want::kGoodbye);
        if (!host.core->waiting()) {
          end_run(host, true);
          return;
        }
        break;
    }
    schedule(host);
  }

  void start_run(Host& host) {
    host.core = std::make_unique<LinkCore>();
    host.session = static_cast<uint32_t>(random_.next()) | 1;
    host.run = ++runs_;
    host.socket.clear();
    host.program = Program::kStarting;
    host.call_began = now_;
    host.poll_origin = now_;
    host.next_bus_index = bus_log_base_ + bus_log_.size();
    host.device_incarnation = device_incarnation_;
    host.last_read_ns = now_;
    host.batches.clear();
    host.counter = 0;
    host.first_counter = 0;
    host.last_on_bus = UINT32_MAX;
    host.last_taken_ns = now_;
    trace(Step::kStart, host.channel, host.session, host.run);
    HostTransmit out(*this, host);
    host.core->start(device_endpoint(host.channel), host.session, static_cast<uint32_t>(now_ / kMs),
                     now_);
    host.core->begin_control_write(rawcan::make_init_can_chip(), now_);
    host.core->transmit(out);
  }

  void finish_start(Host& host) {
    const int64_t took = now_ - host.call_began;
    if (took > int64_t{kAckAttempts} * kAckWaitMs * kMs) {
      fail("INIT_CAN_CHIP took %lld ms", static_cast<long long>(took / kMs));
    }
    const int32_t result = host.core->control_write_result();
    trace(Step::kStarted, host.channel, static_cast<uint64_t>(-result), 0);
    if (result != 0) {
      begin_stop(host);  // the program says so and ends
      return;
    }
    host.program = Program::kRunning;
    host.last_read_ns = now_;
    host.last_taken_ns = now_;
  }

  void begin_stop(Host& host) {
    HostTransmit out(*this, host);
    host.program = Program::kStopping;
    host.call_began = now_;
    host.core->begin_stop(now_);
    host.core->transmit(out);
    if (!host.core->waiting()) {
      end_run(host, true);
    } else {
      schedule(host);
    }
  }

  void end_run(Host& host, bool stopped) {
    if (stopped) {
      const int64_t took = now_ - host.call_began;
      if (took > int64_t{kGoodbyeWaitMs} * kMs) {
        fail("the stop took %lld ms", static_cast<long long>(took / kMs));
      }
      if (!host.writer) {
        check_reader_totals(host);
      }
    }
    trace(Step::kStopped, host.channel, host.session, stopped);
    host.program = Program::kOff;
    host.core.reset();
    host.socket.clear();
    host.batches.clear();
    host.paused_until = 0;
    host.next_step = now_ + random_.between(0, 4 * kSecond);
  }

  void read_step(Host& host) {
    for (;;) {
      if (!host.core->has(Want::kFrames)) {
        receive_pending(host, Want::kFrames);
      }
      RawCanMessage frame{};
      if (!host.core->read_frame(frame)) {
        return;
      }
      ++report_.frames_read;
      host.last_read_ns = now_;
      // Bus order: the frame is at or after the one after the last read.
      const FrameKey key = key_of(frame);
      const uint64_t end = bus_log_base_ + bus_log_.size();
      uint64_t at = host.next_bus_index;
      while (at < end && !(bus_log_[at - bus_log_base_] == key)) {
        ++at;
      }
      if (at == end) {
        read_off_the_bus(host, key);
        return;
      }
      trace(Step::kRead, host.channel, at, 0);
      host.next_bus_index = at + 1;
    }
  }

  void read_off_the_bus(const Host& host, const FrameKey& key) {
    for (uint64_t at = host.next_bus_index; at-- > bus_log_base_;) {
      if (bus_log_[at - bus_log_base_] == key) {
        const ZelborCounters& c = host.core->counters();
        fail(
            "channel %d read bus frame %llu after bus frame %llu (resyncs %llu, device "
            "restarts %llu)",
            host.channel, static_cast<unsigned long long>(at),
            static_cast<unsigned long long>(host.next_bus_index - 1),
            static_cast<unsigned long long>(c.resyncs),
            static_cast<unsigned long long>(c.device_restarts));
        return;
      }
    }
    fail("channel %d read frame %X %016llX, which never went over the bus", host.channel, key.id,
         static_cast<unsigned long long>(key.data));
  }

  void write_step(Host& host) {
    receive_pending(host, Want::kControl);
    CtrlMessage record{};
    if (!host.core->read_control(record)) {
      return;
    }
    if (record.type == MESSAGE_COUNT && rawcan::has_queue_fields(record)) {
      take_report(host, rawcan::message_count(record), rawcan::queue_fields(record).batch);
    }
    // One batch for every record delivered, as the writer does.
    RawCanMessage frames[kBatchFrames]{};
    for (int i = 0; i < kBatchFrames; ++i) {
      frames[i].id = kFirstBatchId + static_cast<uint32_t>(i);
      frames[i].length = 8;
      rawcan::store_le32(frames[i].data, host.counter);
      rawcan::store_le32(frames[i].data + 4, host.run);
    }
    int32_t result = host.core->check_write(frames, kBatchFrames);
    if (result == ZELBOR_ERR_BACKLOG) {
      receive_pending(host, Want::kEverything);
      result = host.core->check_write(frames, kBatchFrames);
    }
    Batch batch{};
    ZelborLinkStatus status{};
    host.core->status(now_, status);
    batch.number = host.core->oldest_unacknowledged() + status.batches_held;
    if (result == 0) {
      batch.accepted = true;
      batch.accepted_ns = now_;
      HostTransmit out(*this, host);
      host.core->write_frames(frames, kBatchFrames, now_);
      host.core->transmit(out);
    }
    trace(Step::kWrite, host.channel, host.counter, static_cast<uint64_t>(-result));
    host.batches.push_back(batch);
    ++host.counter;
    host.poll_origin = now_;  // the writer pauses 1 ms after each batch
    prune_batches(host);
  }

  void take_report(Host& host, uint16_t count, uint32_t number) {
    trace(Step::kReport, host.channel, number, count);
    if (host.batches.empty() || number < host.batches.front().number) {
      return;  // a batch checked and forgotten: the bus tells whether it went twice
    }
    // Numbers rise with the batches (a refused one has the next one's), so
    // the report's batch is found by halving.
    auto it =
        std::lower_bound(host.batches.begin(), host.batches.end(), number,
                         [](const Batch& batch, uint32_t wanted) { return batch.number < wanted; });
    for (; it != host.batches.end() && it->number == number; ++it) {
      Batch& batch = *it;
      if (!batch.accepted) {
        continue;
      }
      if (batch.reported >= 0 && !batch.excused) {
        const ZelborCounters& c = host.core->counters();
        fail(
            "batch %u reported taken twice (control resyncs %llu, out of window %llu, "
            "controls lost %llu, overflowed %llu)",
            number, static_cast<unsigned long long>(c.resyncs),
            static_cast<unsigned long long>(c.out_of_window),
            static_cast<unsigned long long>(c.controls_lost),
            static_cast<unsigned long long>(c.controls_overflowed));
      }
      if (count > kBatchFrames) {
        fail("batch %u reported %u frames taken of %d", number, count, kBatchFrames);
      }
      batch.reported = count;
      batch.reported_ns = now_;
      ++report_.batches_taken;
      host.last_taken_ns = now_;
      return;
    }
    fail("a report for batch %u, which this run did not send", number);
  }

  // Checks the reports the bus has had time to bear out, then forgets them.
  void prune_batches(Host& host) {
    while (!host.batches.empty()) {
      const Batch& batch = host.batches.front();
      const bool settled = !batch.accepted || batch.excused ||
                           (batch.reported >= 0 && now_ - batch.reported_ns >= kReportCheckNs);
      if (!settled) {
        if (host.batches.size() > 16384) {
          fail("%zu writer batches outstanding, the oldest %u (%s, reported %d, %d on the bus)",
               host.batches.size(), batch.number, batch.excused ? "excused" : "owed",
               batch.reported, batch.on_bus);
        }
        return;
      }
      if (batch.accepted && !batch.excused && batch.on_bus != batch.reported) {
        fail("batch %u: %d frames on the bus, %d reported taken", batch.number, batch.on_bus,
             batch.reported);
      }
      host.batches.pop_front();
      ++host.first_counter;
    }
  }

  // --- the checks -----------------------------------------------------------

  void check_host(const Host& host) {
    {
      if (!host.core) {
        return;
      }
      if (!host.core->consistent()) {
        fail("channel %d: the link's queues are inconsistent", host.channel);
      }
      const ZelborCounters& c = host.core->counters();
      const uint64_t numbered = numbered_for_host_[host.session];
      if (c.frames_in + c.frames_lost > numbered) {
        fail("channel %d: %llu frames in and %llu counted lost, of %llu the device numbered",
             host.channel, static_cast<unsigned long long>(c.frames_in),
             static_cast<unsigned long long>(c.frames_lost),
             static_cast<unsigned long long>(numbered));
      }
      if (c.frames_delivered > c.frames_in) {
        fail("channel %d: %llu frames delivered of %llu in", host.channel,
             static_cast<unsigned long long>(c.frames_delivered),
             static_cast<unsigned long long>(c.frames_in));
      }
    }
  }

  // A reader that stopped with the device's answer, on one device session,
  // has counted as lost exactly what it did not receive.
  void check_reader_totals(const Host& host) {
    const ZelborCounters& c = host.core->counters();
    if (host.core->phase() != Phase::kLeft || c.device_restarts != 0 ||
        host.device_incarnation != device_incarnation_) {
      return;
    }
    const uint64_t numbered = numbered_for_host_[host.session];
    if (c.frames_in + c.frames_lost != numbered) {
      fail("channel %d stopped: %llu frames in and %llu counted lost, but the device numbered %llu",
           host.channel, static_cast<unsigned long long>(c.frames_in),
           static_cast<unsigned long long>(c.frames_lost),
           static_cast<unsigned long long>(numbered));
    }
  }

  // After the network has healed, everything flows again and every batch
  // the library took is on the bus.
  void check_end() {
    for (Host& host : hosts_) {
      if (host.program != Program::kRunning || now_ - host.call_began < kHealedNs / 2) {
        continue;
      }
      if (!host.writer && now_ - host.last_read_ns > 10 * kSecond) {
        fail("channel %d read nothing for the last %lld s of a healed network", host.channel,
             static_cast<long long>((now_ - host.last_read_ns) / kSecond));
      }
      if (host.writer && now_ - host.last_taken_ns > 10 * kSecond) {
        fail("the writer had no batch taken for the last %lld s of a healed network",
             static_cast<long long>((now_ - host.last_taken_ns) / kSecond));
      }
      if (!host.writer) {
        continue;
      }
      for (const Batch& batch : host.batches) {
        if (batch.accepted && !batch.excused && batch.accepted_ns < now_ - 5 * kSecond &&
            batch.reported < 0) {
          fail("batch %u, taken by the library %.3f s before the end, never reached the device",
               batch.number, static_cast<double>(now_ - batch.accepted_ns) * 1e-9);
        }
      }
    }
  }

  Random random_;
  Report report_;
  std::string violation_;
  int64_t now_ = 0;
  int64_t end_ns_;
  int64_t heal_ns_;
  uint64_t step_ = 0;

  uint32_t bitrate_;
  double loss_;
  double duplicate_;
  int64_t delay_ns_;
  int64_t jitter_ns_;
  double spike_;
  int64_t partition_every_;
  int64_t device_restart_every_;
  int64_t program_fault_every_;
  int64_t stray_every_;
  int64_t source_interval_ns_;

  int64_t next_partition_ = 0;
  int64_t partition_end_ = INT64_MAX;
  int partitioned_ = -2;  // -2: none, -1: everyone, else that channel's host
  int64_t next_device_restart_ = 0;
  int64_t next_program_fault_ = 0;
  int64_t next_stray_ = 0;

  std::priority_queue<InFlight, std::vector<InFlight>, Later> network_;
  uint64_t order_ = 0;
  int64_t latest_arrival_ = 0;
  std::vector<uint8_t> last_device_datagram_;

  std::unique_ptr<sim::Simulation> device_;
  uint64_t device_incarnation_ = 0;
  int source_node_ = 0;
  int64_t next_source_ = 0;
  uint64_t source_serial_ = 0;
  int64_t device_timer_ = 0;

  std::deque<FrameKey> bus_log_;  // the frames on the bus, in order, from bus_log_base_
  uint64_t bus_log_base_ = 0;
  std::map<std::pair<uint32_t, uint32_t>, uint64_t> numbered_;  // (device session, host session)
  std::unordered_map<uint32_t, uint64_t> numbered_for_host_;

  Host hosts_[kChannels];
  uint32_t runs_ = 0;

  TraceEntry trace_[kTraceSteps]{};
  std::size_t trace_next_ = 0;
};

}  // namespace

Report simulate(uint64_t seed, int64_t duration_ns) {
  auto world = std::make_unique<World>(seed, duration_ns);
  return world->run();
}

}  // namespace zelbor::simulation
