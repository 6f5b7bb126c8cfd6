// zelbor_sim [--address IP] [--channels N] [--drop P]: a simulated device on
// UDP, one endpoint per channel c at IP:34567+2c, all channels on one bus.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "clock.h"
#include "sim_device.h"
#include "udp.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void request_stop(int) {
  g_stop = 1;
}

struct Options {
  std::string address = "127.0.0.1";
  int channels = 2;
  double drop = 0.0;
  double generate = 0.0;
  uint64_t count = 0;
  std::string replay;
  uint64_t loops = 1;
  bool loops_given = false;
  std::string record;
};

void print_usage(std::FILE* out) {
  std::fprintf(out,
               "usage: zelbor_sim [--address IP] [--channels N] [--drop P] [--generate RATE "
               "[--count N]]\n"
               "                  [--replay FILE [--loop N]] [--record FILE]\n"
               "  --address IP   IPv4 address to serve on (default 127.0.0.1)\n"
               "  --channels N   number of channels, 1 to %d (default 2)\n"
               "  --drop P       fraction of datagrams to hosts to drop, 0 to 1 (default 0)\n"
               "  --generate RATE  put RATE frames a second on the bus from the moment the\n"
               "                 first host listens (up to 10,000,000)\n"
               "  --count N      stop generating after N frames\n"
               "  --replay FILE  put the frames of a candump log on the bus with their\n"
               "                 spacing from the moment the first host listens, then exit\n"
               "  --loop N       play the log N times (0: without end; default 1)\n"
               "  --record FILE  append every frame on the bus to FILE as a candump log\n",
               zelbor::sim::kMaxChannels);
}

bool parse_int(const char* text, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) {
    return false;
  }
  value = static_cast<int>(parsed);
  return true;
}

// A real number from `lowest` (included unless `exclusive`) to `highest`.
bool parse_real(const char* text, double lowest, bool exclusive, double highest, double& value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  const bool above_lowest = exclusive ? parsed > lowest : parsed >= lowest;
  if (errno != 0 || end == text || *end != '\0' || !(above_lowest && parsed <= highest)) {
    return false;
  }
  value = parsed;
  return true;
}

// A whole number of 0 or more, without a sign.
bool parse_count(const char* text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || text[0] == '-') {
    return false;
  }
  value = parsed;
  return true;
}

bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      print_usage(stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      return false;
    }
    const char* value = argv[++i];
    if (option == "--address") {
      in_addr parsed{};
      if (inet_pton(AF_INET, value, &parsed) != 1) {
        return false;
      }
      options.address = value;
    } else if (option == "--channels") {
      if (!parse_int(value, options.channels) || options.channels < 1 ||
          options.channels > zelbor::sim::kMaxChannels) {
        return false;
      }
    } else if (option == "--drop") {
      if (!parse_real(value, 0.0, false, 1.0, options.drop)) {
        return false;
      }
    } else if (option == "--generate") {
      if (!parse_real(value, 0.0, true, 1e7, options.generate)) {
        return false;
      }
    } else if (option == "--count") {
      if (!parse_count(value, options.count) || options.count == 0) {
        return false;
      }
    } else if (option == "--replay" || option == "--record") {
      if (value[0] == '\0') {
        return false;
      }
      (option == "--replay" ? options.replay : options.record) = value;
    } else if (option == "--loop") {
      if (!parse_count(value, options.loops)) {
        return false;
      }
      options.loops_given = true;
    } else {
      return false;
    }
  }
  return true;
}

class SocketOutbox final : public zelbor::sim::Outbox {
 public:
  explicit SocketOutbox(const std::vector<int>& sockets) : sockets_(sockets) {}
  bool send(int channel, const sockaddr_in& to, const uint8_t* bytes, std::size_t size) override {
    return zelbor::udp::send_datagram(zelbor::system_socket_ops(), sockets_[channel], bytes, size,
                                      to, tally_);
  }

 private:
  const std::vector<int>& sockets_;
  zelbor::udp::SendTally tally_{};
};

// Reads a candump log; reports malformed lines by number and counts the
// lines it skips on purpose.
bool load_log(const std::string& path, std::vector<zelbor::sim::LogEntry>& entries) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    std::fprintf(stderr, "zelbor_sim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  unsigned long long line_number = 0, remote = 0, fd = 0, malformed = 0;
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  while ((length = getline(&line, &capacity, file)) >= 0) {
    ++line_number;
    zelbor::sim::LogEntry entry{};
    switch (zelbor::sim::parse_candump_line(std::string_view(line, static_cast<size_t>(length)),
                                            entry)) {
      case zelbor::sim::LogLine::kFrame:
        entries.push_back(entry);
        break;
      case zelbor::sim::LogLine::kSkipped:
        break;
      case zelbor::sim::LogLine::kRemote:
        ++remote;
        break;
      case zelbor::sim::LogLine::kFd:
        ++fd;
        break;
      case zelbor::sim::LogLine::kMalformed:
        ++malformed;
        std::fprintf(stderr, "zelbor_sim: %s:%llu: malformed line skipped\n", path.c_str(),
                     line_number);
        break;
    }
  }
  std::free(line);
  const bool read_error = std::ferror(file) != 0;
  std::fclose(file);
  if (read_error) {
    std::fprintf(stderr, "zelbor_sim: cannot read %s\n", path.c_str());
    return false;
  }
  std::printf(
      "replay: %zu frames from %s (skipped %llu remote-request, %llu CAN FD, %llu "
      "malformed lines)\n",
      entries.size(), path.c_str(), remote, fd, malformed);
  return true;
}

int64_t realtime_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(argc, argv, options) || (options.count != 0 && options.generate <= 0) ||
      (options.loops_given && options.replay.empty())) {
    print_usage(stderr);
    return 2;
  }
  std::vector<zelbor::sim::LogEntry> log;
  if (!options.replay.empty() && !load_log(options.replay, log)) {
    return 1;
  }
  std::FILE* record = nullptr;
  if (!options.record.empty()) {
    record = std::fopen(options.record.c_str(), "a");
    if (record == nullptr) {
      std::fprintf(stderr, "zelbor_sim: cannot write %s: %s\n", options.record.c_str(),
                   std::strerror(errno));
      return 1;
    }
  }

  std::vector<int> sockets;
  for (int channel = 0; channel < options.channels; ++channel) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, options.address.c_str(), &address.sin_addr);
    const int port = zelbor::sim::kBasePort + 2 * channel;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0) {
      zelbor::udp::request_receive_buffer(fd);
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      std::fprintf(stderr, "zelbor_sim: cannot serve channel %d on %s:%d: %s\n", channel,
                   options.address.c_str(), port, std::strerror(errno));
      return 1;
    }
    sockets.push_back(fd);
  }

  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  const uint64_t seed =
      (uint64_t{zelbor::random_nonzero_u32()} << 32) | zelbor::random_nonzero_u32();
  zelbor::sim::SimDevice device(options.channels, options.drop, seed, zelbor::monotonic_ns(),
                                stdout);
  if (options.generate > 0) {
    device.enable_generator(options.generate, options.count);
  }
  if (!options.replay.empty()) {
    device.enable_replay(std::move(log), options.loops);
  }
  if (record != nullptr) {
    device.set_recorder(record, realtime_ns() - zelbor::monotonic_ns());
  }
  int64_t last_record_flush = zelbor::monotonic_ns();
  SocketOutbox outbox(sockets);
  std::printf("zelbor_sim: serving %d channel%s on %s, ports %d to %d\n", options.channels,
              options.channels == 1 ? "" : "s", options.address.c_str(), zelbor::sim::kBasePort,
              zelbor::sim::kBasePort + 2 * (options.channels - 1));
  std::fflush(stdout);

  std::vector<pollfd> descriptors;
  for (const int fd : sockets) {
    descriptors.push_back(pollfd{fd, POLLIN, 0});
  }
  static zelbor::udp::BatchReceiver<64, 2048> receiver;

  while (g_stop == 0) {
    const bool busy =
        device.has_pending_frames() || device.generator_running() || device.replay_running();
    const int timeout_ms = busy ? 1 : 20;
    if (::poll(descriptors.data(), descriptors.size(), timeout_ms) < 0 && errno != EINTR) {
      std::perror("zelbor_sim: poll");
      return 1;
    }
    for (int channel = 0; channel < options.channels; ++channel) {
      if ((descriptors[channel].revents & POLLIN) == 0) {
        continue;
      }
      receiver.drain(sockets[channel], 16,
                     [&](const sockaddr_in& source, const uint8_t* bytes, std::size_t size,
                         bool cut, int64_t now) {
                       // A datagram cut by the kernel is handed over as empty,
                       // so it counts as malformed.
                       device.handle(channel, source, bytes, cut ? 0 : size, now, outbox);
                     });
    }
    const int64_t now = zelbor::monotonic_ns();
    device.generate(now, outbox);
    device.replay(now, outbox);
    device.flush(outbox);
    device.tick(now, outbox);
    if (record != nullptr && now - last_record_flush >= 1'000'000'000) {
      std::fflush(record);  // nothing older than a second is lost on a kill
      last_record_flush = now;
    }
    if (device.replay_finished()) {
      break;
    }
  }

  if (record != nullptr) {
    std::fclose(record);
  }
  if (options.generate > 0) {
    std::printf("generated %llu frames\n", static_cast<unsigned long long>(device.generated()));
  }
  if (!options.replay.empty()) {
    std::printf("replayed %llu frames\n", static_cast<unsigned long long>(device.replayed()));
  }
  for (int channel = 0; channel < options.channels; ++channel) {
    const zelbor::sim::ChannelStats& stats = device.stats(channel);
    std::printf(
        "channel %d: frames in %llu, frames out %llu, dropped %llu (datagrams dropped %llu), "
        "control records given up %llu, repeats %llu, refused %llu\n",
        channel, static_cast<unsigned long long>(stats.frames_in),
        static_cast<unsigned long long>(stats.frames_out),
        static_cast<unsigned long long>(stats.dropped),
        static_cast<unsigned long long>(stats.datagrams_dropped),
        static_cast<unsigned long long>(stats.controls_dropped),
        static_cast<unsigned long long>(stats.repeats),
        static_cast<unsigned long long>(stats.refused));
  }
  std::fflush(stdout);
  for (const int fd : sockets) {
    ::close(fd);
  }
  return 0;
}
