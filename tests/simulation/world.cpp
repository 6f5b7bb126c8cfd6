#include "world.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "connect.h"
#include "host_driver.h"
#include "library_calls.h"
#include "link.h"
#include "link_core.h"
#include "output.h"
#include "ports.h"
#include "reader_loop.h"
#include "records.h"
#include "run_control.h"
#include "simulation.h"
#include "tasks.h"
#include "writer_loop.h"

namespace zelbor::simulation {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kSecond = 1'000'000'000;
constexpr int kChannels = 4;  // 0: the writer's, 1 and 2: readers', 3: a host driver's
constexpr int kDriverChannel = 3;
constexpr uint32_t kDriverFrameId = 0x080;      // above everything else on the bus
constexpr std::size_t kSocketDatagrams = 4096;  // a host socket's buffer, in datagrams
constexpr int kBatchFrames = 50;
constexpr uint32_t kFirstBatchId = 1000;
constexpr int64_t kReportCheckNs = 15 * kSecond;  // frames of a reported batch are on the bus by
                                                  // then, behind any backlog of the driver's
constexpr std::size_t kTraceSteps = 48;
constexpr uint64_t kBusLogBehind = 4096;  // bus frames kept behind the readers' oldest
constexpr int64_t kWriterGraceNs = 15 * kSecond;
// The library's shell waits on the socket in whole milliseconds, rounded up,
// so each of a call's deadlines may pass by up to 1 ms before it is seen:
// a stop's one, and each of a control write's attempts.
constexpr int64_t kShellRoundingNs = kMs;

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

// The number the device's answer to BYE gives: the next frame it would have
// sent that host.
std::optional<uint32_t> goodbye_end(const wire::Datagram& datagram) {
  if (datagram.header.kind != wire::Kind::kAck) {
    return std::nullopt;
  }
  CtrlMessage record{};
  wire::control_record(datagram, record);
  uint16_t type = 0;
  uint32_t number = 0;
  if (!wire::parse_ack(record, type, number) || type != wire::kGoodbyeAckedType) {
    return std::nullopt;
  }
  return number;
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
  bool driver = false;     // a host driver with a sender and a receiver, as the bridge
  bool six_calls = false;  // this run's library shows no counters and no link status
  sockaddr_in endpoint{};
  Program program = Program::kOff;
  bool socket_open = false;
  uint32_t session = 0;                // the library's id of its run
  const uint64_t* numbered = nullptr;  // what the device numbered for that run
  uint32_t run = 0;                    // the program's run, in the writer's frames
  int64_t next_step = 0;
  int64_t paused_until = 0;     // stopped (SIGSTOP) until then
  int64_t paused_ns = 0;        // how long it has been stopped, in all: no call's own time
  int64_t call_began = 0;       // when the run called ZelborStartInterface
  std::deque<InFlight> socket;  // arrived, not yet received
  // The reader's run.
  uint64_t next_bus_index = 0;      // no frame before this one on the bus may be read
  uint64_t device_incarnation = 0;  // at the run's start
  int64_t last_read_ns = 0;
  // The writer's run.
  uint32_t first_counter = 0;
  uint32_t batches_accepted = 0;
  std::deque<Batch> batches;          // by counter, from first_counter
  uint32_t last_on_bus = UINT32_MAX;  // counter * 64 + index of its last frame on the bus
  int64_t last_taken_ns = 0;
  // The device's frames the library took off its socket, in the device's
  // order (behind ones not counted), and the next it expects of each of the
  // device's sessions.
  uint64_t received_in_order = 0;
  std::map<uint32_t, uint32_t> next_from_device;
  std::optional<uint32_t> answer_end;  // the number the device's answer to BYE gave
  // The program itself, its library and what it prints.
  std::unique_ptr<InterfaceState> state;
  std::unique_ptr<rawcan::LibraryCalls> library;
  rawcan::Pacer* pacer = nullptr;  // the library's object
  std::string printed;             // what the program wrote that the checks have not read
  std::unique_ptr<rawcan::Output> out;
  uint64_t frames_listed = 0;  // frame lines of this run
  uint64_t looks = 0;          // checks of its link
  int64_t next_listing_check = 0;
  std::deque<unsigned> short_counts;  // MESSAGE_COUNTs below a batch the library delivered
  bool stop_requested = false;        // SIGINT
  bool in_pause = false;              // in Pacer::pause_ms, which a stop ends
  bool wake_on_arrival = false;       // waiting in the library for the socket
  bool stopped = false;               // stopped its interface
  std::unique_ptr<zelbor::simulation::Task> task;  // last: ends before what it uses
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
  World(uint64_t seed, int64_t duration_ns, Task::Kind kind)
      : random_(seed), end_ns_(duration_ns), task_kind_(kind) {
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
      host.driver = channel == kDriverChannel;
      host.endpoint = host_endpoint(channel);
      host.next_step = random_.between(0, kSecond);
    }
    current() = this;
    use_link_system(&kLinkSystem);
    restart_device();
    stop_all_ns_ = end_ns_ - kStopAllNs;
    next_partition_ = random_.exponential(partition_every_);
    next_device_restart_ = random_.exponential(device_restart_every_);
    next_program_fault_ = random_.exponential(program_fault_every_);
    next_stray_ = random_.exponential(stray_every_);
  }

  ~World() {
    for (Host& host : hosts_) {
      if (host.task) {
        library_of(host)->detach();
        frozen_.push_back({std::move(host.library), std::move(host.out), std::move(host.state),
                           std::move(host.task)});
      }
    }
    unwind_frozen();
    use_link_system(nullptr);
    current() = nullptr;
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

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
      for (const Host& host : hosts_) {
        if (host.task) {
          fail("channel %d did not end within %lld s of being asked to stop", host.channel,
               static_cast<long long>(kStopAllNs / kSecond));
        }
      }
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
    if (!stopped_all_) {
      next = std::min(next, stop_all_ns_);
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
    if (!stopped_all_ && now_ >= stop_all_ns_) {
      check_flowing();
      stopped_all_ = true;
      for (Host& host : hosts_) {
        request_stop(host);
      }
    }
    if (device_timer_ <= now_) {
      run_device();
    }
    check_driver_runs();
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
    for (const uint64_t word : {step_, static_cast<uint64_t>(now_), static_cast<uint64_t>(what),
                                static_cast<uint64_t>(who), a, b}) {
      report_.trace_digest = (report_.trace_digest ^ word) * 0x100000001B3ULL;
    }
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
      network_.push({at, order_++, from, to, buffer_of(bytes, size)});
    }
  }

  // A datagram's bytes, in a buffer a delivered one left.
  std::vector<uint8_t> buffer_of(const uint8_t* bytes, std::size_t size) {
    std::vector<uint8_t> buffer;
    if (!spare_buffers_.empty()) {
      buffer = std::move(spare_buffers_.back());
      spare_buffers_.pop_back();
    }
    buffer.assign(bytes, bytes + size);
    return buffer;
  }
  void recycle(std::vector<uint8_t>&& buffer) {
    if (spare_buffers_.size() < kSocketDatagrams) {
      spare_buffers_.push_back(std::move(buffer));
    }
  }

  void deliver(InFlight datagram) {
    if (datagram.to.sin_addr.s_addr == htonl(kDeviceAddress)) {
      trace(Step::kToDevice, channel_of_port(datagram.to), datagram.bytes.size(), 0);
      device_->handle(channel_of_port(datagram.to), datagram.from, datagram.bytes.data(),
                      datagram.bytes.size(), now_, *this);
      device_timer_ = now_;  // its main loop ticks and flushes after every receive
      recycle(std::move(datagram.bytes));
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
      } else if (const std::optional<uint32_t> goodbye = goodbye_end(datagram)) {
        end = *goodbye;
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
      end_run(host);
    } else if (kind == 1) {
      ++report_.faults.program_stops;
      trace(Step::kStop, host.channel, host.session, 0);
      request_stop(host);
    } else {
      ++report_.faults.program_pauses;
      const int64_t pause = random_.spread(100 * kMs, 15 * kSecond);
      trace(Step::kPause, host.channel, static_cast<uint64_t>(pause), 0);
      // A pause that replaces one still running counts only from where that one ends.
      host.paused_ns += now_ + pause - std::max(now_, host.paused_until);
      host.paused_until = now_ + pause;
      host.next_step = std::max(host.next_step, host.paused_until);
    }
  }

  // As SIGINT: the loop sees it; a pause ends at once.
  void request_stop(Host& host) {
    host.stop_requested = true;
    if (host.in_pause) {
      host.next_step = std::max(now_, host.paused_until);
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
      if (is_reader(host) && host.program != Program::kOff) {
        needed = std::min(needed, host.next_bus_index);
      }
    }
    needed = needed > kBusLogBehind ? needed - kBusLogBehind : 0;
    for (; bus_log_base_ < needed; ++bus_log_base_) {
      bus_log_.pop_front();
    }
    if (channel == 0) {
      writer_frame_on_bus(frame);
    } else if (channel == kDriverChannel) {
      driver_frame_on_bus(frame);
    }
  }

  void writer_frame_on_bus(const RawCanMessage& frame) {
    Host& writer = hosts_[0];
    const uint32_t counter = rawcan::load_le32(frame.data);
    const uint32_t index = frame.id - kFirstBatchId;
    if (writer.program == Program::kOff || writer.batches.empty() ||
        counter < writer.first_counter || counter - writer.first_counter >= writer.batches.size()) {
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
  //
  // Each program is its own loop (run_reader, run_writer) running as a task
  // over the real library, whose shell runs on this world's network and clock
  // (LinkSystem below). The task gives the processor back wherever the
  // program or the library would wait, and is resumed when that wait ends on
  // the virtual clock. Between the program and the library sits an observer
  // that only watches the calls, as a tracer would, for the checks.

  class Observer final : public rawcan::LibraryCalls, public rawcan::Pacer {
   public:
    Observer(World& world, Host& host)
        : world_(world), host_(host), library_(host.state.get()), six_calls_(host.six_calls) {}
    // A killed program's calls reach its library and nothing of the world.
    void detach() { detached_ = true; }
    bool detached() const { return detached_; }

    int32_t start(uint32_t device_address, uint32_t host_address, int32_t first_port,
                  int32_t second_port, int32_t channel) override {
      if (!detached_) {
        world_.begin_run(host_);
      }
      return library_.start(device_address, host_address, first_port, second_port, channel);
    }

    int32_t stop() override {
      if (detached_) {
        return library_.stop();
      }
      World& w = world_;
      host_.program = Program::kStopping;
      const int64_t began = w.now_ - host_.paused_ns;
      const int32_t result = library_.stop();
      const int64_t took = w.now_ - host_.paused_ns - began;
      if (took > int64_t{kGoodbyeWaitMs} * kMs + kShellRoundingNs) {
        w.fail("the stop took %lld ms", static_cast<long long>(took / kMs));
      }
      host_.stopped = true;
      return result;
    }

    int32_t ctrl_write(const CtrlMessage& message) override {
      if (detached_) {
        return library_.ctrl_write(message);
      }
      World& w = world_;
      const int64_t began = w.now_ - host_.paused_ns;
      const int32_t result = library_.ctrl_write(message);
      const int64_t took = w.now_ - host_.paused_ns - began;
      if (took > int64_t{kAckAttempts} * (kAckWaitMs * kMs + kShellRoundingNs)) {
        w.fail("a control write took %lld ms", static_cast<long long>(took / kMs));
      }
      w.trace(Step::kStarted, host_.channel, static_cast<uint64_t>(-result), 0);
      if (result == 0) {
        host_.program = Program::kRunning;
        host_.last_read_ns = host_.last_taken_ns = w.now_;
      }
      return result;
    }

    int32_t ctrl_read(CtrlMessage& message) override {
      const int32_t result = library_.ctrl_read(message);
      if (result == 0 && message.type == MESSAGE_COUNT && !detached_ && host_.writer) {
        if (rawcan::has_queue_fields(message)) {
          world_.take_report(host_, rawcan::message_count(message),
                             rawcan::queue_fields(message).batch);
        }
        if (rawcan::message_count(message) != kBatchFrames) {
          host_.short_counts.push_back(rawcan::message_count(message));
        }
      }
      return result;
    }

    int32_t raw_can_read(RawCanMessage& message) override { return library_.raw_can_read(message); }

    int32_t raw_can_write(const RawCanMessage* frames, int32_t count) override {
      World& w = world_;
      const int32_t result = library_.raw_can_write(frames, count);
      if (detached_ || !host_.writer) {
        return result;
      }
      const uint32_t counter = count > 0 ? rawcan::load_le32(frames[0].data) : 0;
      w.trace(Step::kWrite, host_.channel, counter, static_cast<uint64_t>(-result));
      if (!host_.batches.empty() && counter != host_.first_counter + host_.batches.size()) {
        w.fail("the writer wrote batch %u after batch %u", counter,
               static_cast<unsigned>(host_.first_counter + host_.batches.size() - 1));
      }
      Batch batch{};
      // The library numbers its frame datagrams from 0 in each run, one a batch.
      batch.number = host_.batches_accepted;
      // Frames of the run before may still reach the bus, with the same counters.
      batch.excused = w.now_ < w.writer_grace_until_;
      if (result == 0) {
        batch.accepted = true;
        batch.accepted_ns = w.now_;
        ++host_.batches_accepted;
      }
      if (host_.batches.empty()) {
        host_.first_counter = counter;
      }
      host_.batches.push_back(batch);
      w.prune_batches(host_);
      return result;
    }

    bool read_counters(ZelborCounters& counters) override {
      return !six_calls_ && library_.read_counters(counters);
    }
    bool link_status(ZelborLinkStatus& status) override {
      return !six_calls_ && library_.link_status(status);
    }
    // The library's counters, where the program sees none.
    bool library_counters(ZelborCounters& counters) { return library_.read_counters(counters); }

    // The host driver's wait on the library's socket: whether it became readable.
    bool wait_readable(int64_t timeout_ns) {
      return !detached_ && world_.wait_for_datagram(host_, timeout_ns);
    }
    int64_t now() const { return system_now(); }

    bool stop_requested() override { return detached_ || host_.stop_requested; }
    void pause_ms(int milliseconds) override {
      if (detached_) {
        return;
      }
      host_.in_pause = true;
      world_.block(host_, world_.now_ + milliseconds * kMs, false);
      host_.in_pause = false;
    }

   private:
    World& world_;
    Host& host_;
    rawcan::ZelborLibrary library_;
    const bool six_calls_;
    bool detached_ = false;
  };

  static Observer* library_of(const Host& host) { return static_cast<Observer*>(host.pacer); }

  // From inside a host's task: back to the world until `until`, or until a
  // datagram arrives if `arrival_wakes`.
  void block(Host& host, int64_t until, bool arrival_wakes) {
    host.next_step = std::max(until, host.paused_until);
    host.wake_on_arrival = arrival_wakes;
    host.task->yield();
    host.wake_on_arrival = false;
  }

  // A wait on the host's socket: back to the world until a datagram is there
  // or `timeout_ns` has passed; whether one is there.
  bool wait_for_datagram(Host& host, int64_t timeout_ns) {
    if (host.socket.empty() && timeout_ns > 0) {
      block(host, now_ + timeout_ns, true);
    }
    return !host.socket.empty();
  }

  void wake_for_arrival(Host& host) {
    if (host.task && host.wake_on_arrival && now_ >= host.paused_until) {
      host.next_step = std::min(host.next_step, now_);
    }
  }

  void step_host(Host& host) {
    host.next_step = INT64_MAX;
    if (!host.task) {
      if (now_ >= stop_all_ns_) {
        return;  // the end's stop: no program starts again
      }
      start_run(host);
    } else {
      host.task->resume();
    }
    // The writer wakes every 20 ms and rarely prints: its listing is read a
    // tenth of a second at a time, a reader's whenever it ran.
    if (is_reader(host) || now_ >= host.next_listing_check || host.task->done()) {
      check_listing(host);
      host.next_listing_check = now_ + 100 * kMs;
    }
    if (host.task->done()) {
      end_run(host);
    }
  }

  // The program as its main() runs it, less the process. It uses only its
  // own objects: once killed, its run's are no longer the host's.
  void run_program(Host& host, Observer& library, rawcan::Output& out) {
    char channel[8];
    std::snprintf(channel, sizeof channel, "%d", host.channel);
    const char* const program = host.writer   ? "raw_can_writer"
                                : host.driver ? "raw_can_bridge"
                                              : "raw_can_reader";
    const char* const argv[] = {program, "10.0.0.2", "10.0.0.1", channel};
    const rawcan::StartOutcome started = rawcan::start_device(4, argv, library, out);
    if (!started.ready) {
      return;  // start_device stopped the interface
    }
    if (host.driver) {
      run_driver(host, library);
      return;
    }
    if (host.writer) {
      rawcan::run_writer(library, started.channel, out, library);
    } else {
      rawcan::run_reader(library, started.channel, out, library);
    }
    out.flush();
    const rawcan::LinkLoss loss = rawcan::stop_interface(library);
    if (library.detached()) {
      return;
    }
    check_listing(host);
    char* said = nullptr;
    std::size_t said_size = 0;
    if (std::FILE* errors = open_memstream(&said, &said_size)) {
      rawcan::report_loss(loss, program, errors);
      std::fclose(errors);
      check_loss_line(host, std::string_view(said, said_size));
    }
    std::free(said);  // NOLINT: open_memstream's buffer
  }

  void start_run(Host& host) {
    host.six_calls = host.driver && random_.chance(0.5);
    host.state = std::make_unique<InterfaceState>();
    auto library = std::make_unique<Observer>(*this, host);
    host.pacer = library.get();
    host.library = std::move(library);
    host.printed.clear();
    host.out = std::make_unique<rawcan::Output>(
        [](void* context, const char* bytes, std::size_t size) -> int64_t {
          static_cast<std::string*>(context)->append(bytes, size);
          return static_cast<int64_t>(size);
        },
        &host.printed);
    host.frames_listed = 0;
    host.short_counts.clear();
    host.stopped = false;
    host.stop_requested = false;
    host.program = Program::kStarting;
    Observer& observer = *library_of(host);
    rawcan::Output& out = *host.out;
    host.task = Task::make(task_kind_,
                           [this, &host, &observer, &out] { run_program(host, observer, out); });
    host.task->resume();
  }

  // What the world knows of a run from the moment its program calls
  // ZelborStartInterface.
  void begin_run(Host& host) {
    host.run = ++runs_;
    host.call_began = now_;
    host.session = 0;  // the library's own, learnt from its first datagram
    host.numbered = nullptr;
    host.socket.clear();
    host.next_bus_index = bus_log_base_ + bus_log_.size();
    host.device_incarnation = device_incarnation_;
    host.last_read_ns = now_;
    host.batches.clear();
    host.batches_accepted = 0;
    host.first_counter = 0;
    host.last_on_bus = UINT32_MAX;
    host.last_taken_ns = now_;
    host.received_in_order = 0;
    host.next_from_device.clear();
    host.answer_end.reset();
    trace(Step::kStart, host.channel, 0, host.run);
  }

  // The end of a run: its program ended, or was killed (a killed program's
  // task is frozen where it was, as the process would be, its socket closed;
  // it is unwound at the end of the world, where no call it makes reaches
  // anything).
  void end_run(Host& host) {
    const bool killed = host.task && !host.task->done();
    if (!killed) {
      check_listing(host);
    }
    check_host(host);
    trace(Step::kStopped, host.channel, host.session, host.stopped);
    if (host.writer) {
      writer_grace_until_ = now_ + kWriterGraceNs;
    }
    if (killed) {
      library_of(host)->detach();
      frozen_.push_back({std::move(host.library), std::move(host.out), std::move(host.state),
                         std::move(host.task)});
    }
    host.task.reset();
    host.library.reset();
    host.pacer = nullptr;
    host.out.reset();
    host.state.reset();
    host.program = Program::kOff;
    host.socket_open = false;
    host.socket.clear();
    host.batches.clear();
    host.paused_until = 0;
    host.wake_on_arrival = false;
    host.next_step = now_ + random_.between(0, 4 * kSecond);
  }

  // Killed programs' tasks run to their end with every wait over at once,
  // the clock leaping a second a look, and no datagram going anywhere: every
  // wait in the programs and the library has a bound, so each ends.
  void unwind_frozen() {
    tearing_down_ = true;
    for (Frozen& frozen : frozen_) {
      for (int resumes = 0; !frozen.task->done(); ++resumes) {
        if (resumes == 1000000) {
          std::fprintf(stderr, "seed %llu: a killed program's task never ended\n",
                       static_cast<unsigned long long>(report_.seed));
          std::abort();
        }
        frozen.task->resume();
      }
    }
    frozen_.clear();
    tearing_down_ = false;
  }

  // --- the network the library's shell runs on -----------------------------

  static World*& current() {
    static World* world = nullptr;
    return world;
  }
  Host* host_of(SocketHandle socket) {
    const auto index = static_cast<std::size_t>(socket) - kFirstSocket;
    return index < kChannels && hosts_[index].socket_open ? &hosts_[index] : nullptr;
  }

  static int64_t system_now() {
    World& w = *current();
    return w.tearing_down_ ? (w.teardown_now_ += kSecond) : w.now_;
  }
  static uint32_t system_random_id() {
    return static_cast<uint32_t>(current()->random_.next() >> 32) | 1;
  }
  static SocketHandle system_open(uint32_t address, uint16_t port, int) {
    World& w = *current();
    const int channel = (port - rawcan::host_port_of(0)) / 2;
    if (w.tearing_down_ || address != kHostAddress || channel < 0 || channel >= kChannels ||
        w.hosts_[channel].socket_open) {
      errno = EADDRINUSE;
      return kNoSocket;
    }
    w.hosts_[channel].socket_open = true;
    w.hosts_[channel].socket.clear();
    return static_cast<SocketHandle>(kFirstSocket + channel);
  }
  static void system_close(SocketHandle socket) {
    if (Host* host = current()->host_of(socket)) {
      host->socket_open = false;
      host->socket.clear();
    }
  }
  static int64_t system_send(SocketHandle socket, const uint8_t* bytes, std::size_t size,
                             const sockaddr_in& to) {
    World& w = *current();
    Host* host = w.tearing_down_ ? nullptr : w.host_of(socket);
    if (host == nullptr) {
      errno = EBADF;
      return -1;
    }
    if (host->session == 0 && size >= wire::kHeaderSize) {
      wire::Datagram datagram{};
      if (wire::decode(bytes, size, datagram) == wire::DecodeError::kNone) {
        host->session = datagram.header.envelope.session;
        host->numbered = &w.numbered_for_host_[host->session];  // its nodes never move
      }
    }
    w.put_on_network(host->endpoint, to, bytes, size, true);
    return static_cast<int64_t>(size);
  }
  static int system_receive(SocketHandle socket, DatagramSlot* slots, int count) {
    World& w = *current();
    Host* host = w.tearing_down_ ? nullptr : w.host_of(socket);
    int received = 0;
    while (host != nullptr && received < count && !host->socket.empty()) {
      const InFlight& datagram = host->socket.front();
      DatagramSlot& slot = slots[received++];
      slot.cut = datagram.bytes.size() > slot.capacity;
      slot.size = std::min(datagram.bytes.size(), slot.capacity);
      std::copy_n(datagram.bytes.begin(), slot.size, slot.bytes);  // an empty one too
      slot.source = datagram.from;
      slot.arrival_ns = 0;
      w.handed_to_library(*host, datagram);
      w.recycle(std::move(host->socket.front().bytes));
      host->socket.pop_front();
    }
    if (received == 0) {
      errno = EAGAIN;
      return -1;
    }
    return received;
  }
  static int system_wait(SocketHandle socket, bool for_writing, int timeout_ms) {
    World& w = *current();
    Host* host = w.tearing_down_ ? nullptr : w.host_of(socket);
    if (host == nullptr || for_writing) {
      return 1;  // nothing to wait for: a send or receive says what there is
    }
    return w.wait_for_datagram(*host, timeout_ms * kMs) ? 1 : 0;
  }
  static constexpr SocketOps kSocketOps = {system_send, system_receive, system_wait};
  static constexpr LinkSystem kLinkSystem = {&kSocketOps, system_now, system_open, system_close,
                                             system_random_id};
  static constexpr int kFirstSocket = 100;

  // The frames datagrams the library took off its socket, by the device's
  // numbering: the truth its loss count is checked against.
  void handed_to_library(Host& host, const InFlight& datagram) {
    wire::Datagram decoded{};
    if (!same(datagram.from, device_endpoint(host.channel)) ||
        wire::decode(datagram.bytes.data(), datagram.bytes.size(), decoded) !=
            wire::DecodeError::kNone ||
        decoded.header.envelope.peer != host.session) {
      return;
    }
    if (decoded.header.kind == wire::Kind::kAck) {
      if (!host.answer_end) {
        host.answer_end = goodbye_end(decoded);  // the device's word on what it numbered
      }
      return;
    }
    if (decoded.header.kind != wire::Kind::kFrames) {
      return;
    }
    const wire::Envelope& envelope = decoded.header.envelope;
    auto [next, first] = host.next_from_device.try_emplace(envelope.session, 0);
    if (!first && is_after(next->second, envelope.sequence)) {
      return;  // behind what it took: a repeat or a late one
    }
    host.received_in_order += decoded.header.count;
    next->second = envelope.sequence + decoded.header.count;
  }

  // What the program printed since the last look, line by line: the
  // reader's frames are checked against the bus, the writer's short counts
  // against the records the library delivered.
  void check_listing(Host& host) {
    std::size_t begin = 0;
    for (std::size_t end; (end = host.printed.find('\n', begin)) != std::string::npos;
         begin = end + 1) {
      const std::string_view line(host.printed.data() + begin, end - begin);
      if (host.writer) {
        check_writer_line(host, line);
      } else if (is_reader(host)) {
        check_reader_line(host, line);
      } else {
        fail("the host driver's program printed \"%.*s\"", static_cast<int>(line.size()),
             line.data());
      }
    }
    host.printed.erase(0, begin);  // a line not yet ended waits for the rest
  }

  void check_reader_line(Host& host, std::string_view line) {
    if (line.starts_with("Start reading CAN messages on channel ")) {
      return;
    }
    const std::size_t id_at = line.find("-CAN-ID $");
    FrameKey key{0, 0};
    std::size_t at = id_at + 9;
    for (; id_at != std::string_view::npos && at < line.size() && line[at] != ':'; ++at) {
      key.id = key.id * 16 + static_cast<uint32_t>(hex_digit(line[at]));
    }
    if (id_at == std::string_view::npos || at == line.size()) {
      fail("channel %d listed \"%.*s\"", host.channel, static_cast<int>(line.size()), line.data());
      return;
    }
    if (line.substr(id_at - 3, 3) == "EXT") {
      key.id |= 0x80000000u;
    }
    int bytes = 0;
    for (at += 2; at + 3 < line.size() + 1 && line[at] == '$' && bytes < 8; at += 4, ++bytes) {
      const uint64_t byte =
          static_cast<uint64_t>(hex_digit(line[at + 1]) * 16 + hex_digit(line[at + 2]));
      key.data |= byte << (8 * bytes);
    }
    ++report_.frames_read;
    ++host.frames_listed;
    host.last_read_ns = now_;
    // Bus order: the frame is at or after the one after the last read.
    const uint64_t end = bus_log_base_ + bus_log_.size();
    uint64_t bus_at = host.next_bus_index;
    while (bus_at < end && !(bus_log_[bus_at - bus_log_base_] == key)) {
      ++bus_at;
    }
    if (bus_at == end) {
      read_off_the_bus(host, key);
      return;
    }
    trace(Step::kRead, host.channel, bus_at, 0);
    host.next_bus_index = bus_at + 1;
  }

  void check_writer_line(Host& host, std::string_view line) {
    if (line.starts_with("Start writing CAN messages on channel ")) {
      return;
    }
    unsigned count = 0;
    char rest[16] = {};
    const std::string text(line);
    if (std::sscanf(text.c_str(), "%u %15s", &count, rest) != 2 ||
        std::strcmp(rest, "Messages") != 0) {
      fail("the writer printed \"%s\"", text.c_str());
      return;
    }
    if (host.short_counts.empty() || host.short_counts.front() != count) {
      fail("the writer printed %u Messages, but the library delivered %s", count,
           host.short_counts.empty() ? "no short count" : "another count first");
      return;
    }
    host.short_counts.pop_front();
  }

  static int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 0;
  }

  void read_off_the_bus(const Host& host, const FrameKey& key) {
    for (uint64_t at = host.next_bus_index; at-- > bus_log_base_;) {
      if (bus_log_[at - bus_log_base_] == key) {
        const ZelborCounters c = counters_of(host);
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

  static ZelborCounters counters_of(const Host& host) {
    ZelborCounters counters{};
    if (host.library) {
      host.library->read_counters(counters);
    }
    return counters;
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
        const ZelborCounters c = counters_of(host);
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

  // --- the host driver -------------------------------------------------------

  // What one run of the host driver sent, and what the bus carried of it.
  struct DriverRun {
    uint32_t run = 0;
    uint64_t incarnation = 0;  // the device's when the run began
    std::vector<bool> on_bus;  // by counter: the frames send() accepted
    int64_t last_on_bus = -1;
    bool ended = false;
    int64_t ended_ns = 0;
    ZelborHostTotals totals{};
  };

  static bool is_reader(const Host& host) { return !host.writer && !host.driver; }

  // The bridge's loop over the host driver, less the interface: a frame
  // offered every few milliseconds, whatever the device sends taken and
  // dropped, and the bridge's end (what waits is sent while the device keeps
  // taking it, then given up).
  void run_driver(Host& host, Observer& library) {
    rawcan::host::Options options;
    options.receive_capacity = 1024;
    options.transmit_capacity = 256;
    rawcan::host::HostDriver driver(library, options, library.now());
    auto record = std::make_shared<DriverRun>();
    record->run = host.run;
    record->incarnation = device_incarnation_;
    driver_runs_.push_back(record);
    // A tenth to a sixth of the bus, above everything else on it: the writer
    // keeps at least a third.
    const int64_t interval = kSecond * 135 / bitrate_ * random_.between(6, 10);
    int64_t next_send = library.now();
    ZelborHostFrame received[64];
    const auto step = [&] {
      driver.step(library.now());
      while (driver.receive(received, 64) > 0) {
      }
    };
    const auto wait = [&](int64_t until) {
      const ZelborHostWait advice = driver.wait_advice(library.now());
      const int64_t timeout = std::min(advice.timeout_ns, until - library.now());
      if (timeout > 0) {
        driver.woke(library.wait_readable(timeout));
      }
    };
    while (!library.stop_requested()) {
      if (library.now() >= next_send && !library.detached()) {
        RawCanMessage frame{};
        frame.id = kDriverFrameId;
        frame.length = 8;
        rawcan::store_le32(frame.data, host.run);
        rawcan::store_le32(frame.data + 4, static_cast<uint32_t>(record->on_bus.size()));
        if (driver.send(&frame, 1) == 1) {
          record->on_bus.push_back(false);
        }
        next_send += interval;
      }
      step();
      wait(next_send);
    }
    for (int64_t progress = library.now();
         driver.waiting_to_send() != 0 && library.now() - progress < 2 * kSecond;) {
      const std::size_t waiting = driver.waiting_to_send();
      step();
      wait(INT64_MAX);
      if (driver.waiting_to_send() < waiting) {
        progress = library.now();
      }
    }
    driver.abandon();
    record->totals = driver.totals();
    rawcan::stop_interface(library);
    record->ended = !library.detached();
    record->ended_ns = now_;
  }

  void driver_frame_on_bus(const RawCanMessage& frame) {
    const uint32_t run = rawcan::load_le32(frame.data);
    const uint32_t counter = rawcan::load_le32(frame.data + 4);
    for (const auto& record : driver_runs_) {
      if (record->run != run) {
        continue;
      }
      if (counter >= record->on_bus.size()) {
        fail("host driver frame %u of run %u on the bus, which send() never accepted", counter,
             run);
      } else if (record->incarnation == device_incarnation_ &&
                 static_cast<int64_t>(counter) <= record->last_on_bus) {
        fail("host driver frame %u on the bus after its frame %lld", counter,
             static_cast<long long>(record->last_on_bus));
      }
      if (counter < record->on_bus.size()) {
        record->on_bus[counter] = true;
        record->last_on_bus = std::max<int64_t>(record->last_on_bus, counter);
      }
      return;
    }
  }

  // Once the bus had time to carry what a run's device took: every frame
  // send() accepted reached the bus, or the driver counted it not sent or
  // flushed. A device that restarted meanwhile may have lost what it took.
  void check_driver_runs() {
    while (!driver_runs_.empty()) {
      const DriverRun& record = *driver_runs_.front();
      if (!record.ended || now_ - record.ended_ns < kReportCheckNs) {
        if (driver_runs_.size() > 1 && !driver_runs_.front()->ended) {
          driver_runs_.pop_front();  // killed: nothing it said can be checked
          continue;
        }
        return;
      }
      const auto missing =
          static_cast<uint64_t>(std::count(record.on_bus.begin(), record.on_bus.end(), false));
      const uint64_t counted = record.totals.frames_not_sent + record.totals.frames_flushed;
      if (record.incarnation == device_incarnation_ && missing > counted) {
        fail(
            "host driver run %u: %llu of %zu frames send() accepted never reached the bus, and "
            "%llu were counted not sent",
            record.run, static_cast<unsigned long long>(missing), record.on_bus.size(),
            static_cast<unsigned long long>(counted));
      }
      driver_runs_.pop_front();
    }
  }

  // --- the checks -----------------------------------------------------------

  void check_host(Host& host) {
    ZelborCounters c{};
    if (host.library == nullptr || !library_of(host)->library_counters(c)) {
      return;
    }
    // Every 16th look: the walk over the frame slots costs more than the rest of a step.
    LinkInspection inspection{};
    if ((++host.looks % 16 == 0 || !host.task) && link_inspect(host.state.get(), inspection) &&
        !inspection.consistent) {
      fail("channel %d: the link's queues are inconsistent", host.channel);
    }
    const uint64_t numbered = host.numbered != nullptr ? *host.numbered : 0;
    if (c.frames_in + c.frames_lost > numbered) {
      fail("channel %d: %llu frames in and %llu counted lost, of %llu the device numbered",
           host.channel, static_cast<unsigned long long>(c.frames_in),
           static_cast<unsigned long long>(c.frames_lost),
           static_cast<unsigned long long>(numbered));
    }
    // Only what never came off the socket in the device's order may be lost.
    if (c.frames_lost > numbered - std::min(numbered, host.received_in_order)) {
      fail(
          "channel %d: %llu frames counted lost, but the library took %llu of the %llu the device "
          "numbered off its socket in order",
          host.channel, static_cast<unsigned long long>(c.frames_lost),
          static_cast<unsigned long long>(host.received_in_order),
          static_cast<unsigned long long>(numbered));
    }
    if (c.frames_delivered > c.frames_in) {
      fail("channel %d: %llu frames delivered of %llu in", host.channel,
           static_cast<unsigned long long>(c.frames_delivered),
           static_cast<unsigned long long>(c.frames_in));
    }
  }

  // What the reader said when it ended: every frame the device numbered for
  // it was listed, counted lost in that line, or still unread when it was
  // asked to stop. Exact when the stop heard the device's answer on the
  // device's one session; never more than the device numbered.
  void check_loss_line(Host& host, std::string_view line) {
    unsigned long long frames_lost = 0;
    unsigned long long records_lost = 0;
    const std::string text(line);
    if (!text.empty() &&
        std::sscanf(text.c_str(), "raw_can_%*[a-z]: %llu frames lost, %llu control records lost\n",
                    &frames_lost, &records_lost) != 2) {
      fail("channel %d said \"%s\" at its end", host.channel, text.c_str());
      return;
    }
    LinkInspection inspection{};
    ZelborCounters c{};
    if (!is_reader(host) || !link_inspect(host.state.get(), inspection) ||
        !library_of(host)->library_counters(c)) {
      return;
    }
    const bool exact = inspection.phase == Phase::kLeft && c.device_restarts == 0 &&
                       host.device_incarnation == device_incarnation_;
    // A late HELLO may seat the run again after its goodbye: the device's
    // answer says what it numbered until then.
    const uint64_t numbered = exact && host.answer_end
                                  ? *host.answer_end
                                  : (host.numbered != nullptr ? *host.numbered : 0);
    const uint64_t unread = c.frames_in - c.frames_delivered - c.frames_overflowed;
    const uint64_t accounted = host.frames_listed + frames_lost + unread;
    if (accounted > numbered || (exact && accounted != numbered)) {
      fail(
          "channel %d ended: %llu frames listed, %llu in its loss line and %llu unread, but the "
          "device numbered %llu (library: %llu in, %llu delivered, %llu lost, %llu overflowed)",
          host.channel, static_cast<unsigned long long>(host.frames_listed), frames_lost,
          static_cast<unsigned long long>(unread), static_cast<unsigned long long>(numbered),
          static_cast<unsigned long long>(c.frames_in),
          static_cast<unsigned long long>(c.frames_delivered),
          static_cast<unsigned long long>(c.frames_lost),
          static_cast<unsigned long long>(c.frames_overflowed));
    }
  }

  // After the network has healed, everything flows again and every batch
  // the library took is on the bus; then every program is asked to stop.
  void check_flowing() {
    for (Host& host : hosts_) {
      if (host.program != Program::kRunning || now_ - host.call_began < kHealedNs / 2) {
        continue;
      }
      if (is_reader(host) && now_ - host.last_read_ns > 10 * kSecond) {
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

  struct Frozen {
    std::unique_ptr<rawcan::LibraryCalls> library;
    std::unique_ptr<rawcan::Output> out;
    std::unique_ptr<InterfaceState> state;
    std::unique_ptr<Task> task;  // last: ends before what it uses
  };
  static constexpr int64_t kStopAllNs = 10 * kSecond;

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
  std::vector<std::vector<uint8_t>> spare_buffers_;

  uint32_t runs_ = 0;
  Task::Kind task_kind_;
  int64_t writer_grace_until_ = 0;  // frames of the writer's last run may reach the bus until then
  int64_t stop_all_ns_ = 0;         // every program is asked to stop then
  bool stopped_all_ = false;
  std::vector<Frozen> frozen_;  // killed programs' tasks
  std::deque<std::shared_ptr<DriverRun>> driver_runs_;
  bool tearing_down_ = false;
  int64_t teardown_now_ = 0;
  Host hosts_[kChannels];  // after all their tasks use

  TraceEntry trace_[kTraceSteps]{};
  std::size_t trace_next_ = 0;
};

}  // namespace

Report simulate(uint64_t seed, int64_t duration_ns, Task::Kind kind) {
  auto world = std::make_unique<World>(seed, duration_ns, kind);
  return world->run();
}

}  // namespace zelbor::simulation
