// Latency from handing a batch to the library to the reader's line for its
// first frame. Runs raw_can_reader on channel 1 with its output in a pipe,
// plays the writer on channel 0 through libZelbor, and times each batch.
// Usage: latency_bench READER ADDRESS SAMPLES
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "listing.h"
#include "zelbor.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Bytes 4 to 7 of every timed frame, so its line stands out in any listing.
constexpr uint8_t kMarker[4] = {'L', 'A', 'T', '!'};

uint32_t parse_address(const char* text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d);
  return a << 24 | b << 16 | c << 8 | d;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: latency_bench READER ADDRESS SAMPLES\n");
    return 2;
  }
  const int samples = std::atoi(argv[3]);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    return 1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  char* reader_argv[] = {argv[1], argv[2], argv[2], const_cast<char*>("1"), nullptr};
  pid_t reader = 0;
  if (posix_spawn(&reader, argv[1], &actions, nullptr, reader_argv, environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[1]);
    return 1;
  }
  close(pipe_fds[1]);

  std::vector<Clock::time_point> sent(static_cast<std::size_t>(samples));
  std::vector<std::atomic<int64_t>> arrived_ns(static_cast<std::size_t>(samples));
  for (auto& value : arrived_ns) {
    value = -1;
  }
  std::atomic<bool> started{false};
  const auto epoch = Clock::now();
  std::thread listener([&] {
    std::string pending;
    char chunk[1 << 16];
    ssize_t size = 0;
    while ((size = read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
      const auto now = Clock::now();
      pending.append(chunk, static_cast<std::size_t>(size));
      std::size_t start = 0;
      for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
           start = end + 1) {
        const std::string_view line(pending.data() + start, end - start);
        if (line.rfind("Start reading", 0) == 0) {
          started = true;
        }
        rawcan::testing::ListedFrame frame{};
        if (!rawcan::testing::parse_frame_line(std::string(line), frame) || frame.id != 0x3E8 ||
            frame.byte_count != 8 || !std::equal(kMarker, kMarker + 4, frame.bytes + 4)) {
          continue;
        }
        if (const uint32_t k = rawcan::testing::counter_of(frame); k < arrived_ns.size()) {
          arrived_ns[k] = std::chrono::duration_cast<std::chrono::nanoseconds>(now - epoch).count();
        }
      }
      pending.erase(0, start);
    }
  });

  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!started && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  static InterfaceState state;
  const uint32_t address = parse_address(argv[2]);
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  init.data[0] = 0x03;
  init.data[1] = 0x14;
  if (!started || ZelborStartInterface(&state, address, address, 34568, 34567, 0) != 0 ||
      ZelborCtrlWrite(&state, &init) != 0) {
    std::fprintf(stderr, "no reader or no device\n");
    kill(reader, SIGKILL);
    listener.join();
    return 1;
  }

  std::mt19937 random(42);
  std::uniform_int_distribution<int> gap_us(20000, 60000);  // samples every phase of the pause
  RawCanMessage batch[50]{};
  for (int i = 0; i < 50; ++i) {
    batch[i].id = 1000 + static_cast<uint32_t>(i);
    batch[i].length = 8;
    std::memcpy(batch[i].data + 4, kMarker, 4);
  }
  CtrlMessage record{};
  for (int k = 0; k < samples; ++k) {
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
    while (ZelborCtrlRead(&state, &record) == 0) {
    }
    for (RawCanMessage& frame : batch) {
      for (int b = 0; b < 4; ++b) {
        frame.data[b] = static_cast<uint8_t>(static_cast<unsigned>(k) >> (8 * b));
      }
    }
    sent[static_cast<std::size_t>(k)] = Clock::now();
    ZelborRawCanWrite(&state, batch, 50);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ZelborStopInterface(&state);
  kill(reader, SIGINT);
  waitpid(reader, nullptr, 0);
  listener.join();

  std::vector<double> latencies_us;
  for (int k = 0; k < samples; ++k) {
    const int64_t arrived = arrived_ns[static_cast<std::size_t>(k)];
    if (arrived >= 0) {
      const auto sent_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               sent[static_cast<std::size_t>(k)] - epoch)
                               .count();
      latencies_us.push_back(static_cast<double>(arrived - sent_ns) / 1000.0);
    }
  }
  if (latencies_us.empty()) {
    std::printf("samples %d received 0\n", samples);
    return 1;
  }
  std::sort(latencies_us.begin(), latencies_us.end());
  auto percentile = [&](double p) {
    return latencies_us[static_cast<std::size_t>(p * static_cast<double>(latencies_us.size() - 1))];
  };
  std::printf("samples %d received %zu p50_us %.0f p99_us %.0f max_us %.0f\n", samples,
              latencies_us.size(), percentile(0.5), percentile(0.99), latencies_us.back());
  return latencies_us.size() == static_cast<std::size_t>(samples) ? 0 : 1;
}
