// Micro-benchmarks of the two hot paths: one listing line, and decoding a
// datagram of 50 frames.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "frame_line.h"
#include "generated.h"
#include "wire.h"

namespace {

void BM_FormatFrameLine(benchmark::State& state) {
  std::vector<RawCanMessage> frames;
  for (uint64_t n = 0; n < 1024; ++n) {
    RawCanMessage frame = zelbor::sim::generated_frame(n * 7919);
    frame.time_low = static_cast<uint32_t>(n * 2654435761u);
    frame.time_high = static_cast<uint32_t>(n % 32);
    frames.push_back(frame);
  }
  char line[rawcan::kMaxFrameLineLength];
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rawcan::format_frame_line(frames[i++ & 1023], line));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FormatFrameLine);

// The same line through printf-style formatting, for comparison.
void BM_FormatFrameLineSnprintf(benchmark::State& state) {
  const RawCanMessage frame = zelbor::sim::generated_frame(12345678);
  char line[128];
  for (auto _ : state) {
    const double seconds = rawcan::frame_seconds(frame);
    int used = std::snprintf(line, sizeof line, "%1.4f  STD-CAN-ID $%03X: ", seconds, frame.id);
    for (int b = 0; b < frame.length; ++b) {
      used += std::snprintf(line + used, sizeof line - used, "$%02X ", frame.data[b]);
    }
    benchmark::DoNotOptimize(used);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FormatFrameLineSnprintf);

void BM_DecodeFiftyFrames(benchmark::State& state) {
  std::vector<RawCanMessage> frames;
  for (uint64_t n = 0; n < 50; ++n) {
    frames.push_back(zelbor::sim::generated_frame(n));
  }
  uint8_t bytes[zelbor::wire::kMaxDatagram];
  const std::size_t size =
      zelbor::wire::encode_frames({1, 2, 3, 4}, frames.data(), frames.size(), bytes, sizeof bytes);
  RawCanMessage out[50];
  for (auto _ : state) {
    zelbor::wire::Datagram datagram{};
    if (zelbor::wire::decode(bytes, size, datagram) != zelbor::wire::DecodeError::kNone) {
      state.SkipWithError("decode failed");
      break;
    }
    for (std::size_t i = 0; i < datagram.header.count; ++i) {
      zelbor::wire::frame_at(datagram, i, out[i]);
    }
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeFiftyFrames);

}  // namespace

BENCHMARK_MAIN();
