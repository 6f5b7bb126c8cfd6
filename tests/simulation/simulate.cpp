// Searches seeds of the link simulation for a broken promise, for a bounded
// time: zelbor_simulate [--seconds WALL] [--run-seconds SIMULATED]
// [--first-seed N] [--until-violation]. Each violation is printed with its
// seed and how much simulated time the search had covered by then;
// DST_SEED=N replays that one seed and prints its trace.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clock.h"
#include "world.h"

namespace {

using zelbor::simulation::FaultCounts;
using zelbor::simulation::Report;

struct FaultKind {
  const char* name;
  uint64_t FaultCounts::*count;
};
constexpr FaultKind kFaultKinds[] = {
    {"lost", &FaultCounts::lost},
    {"cut by a partition", &FaultCounts::partitioned},
    {"partitions", &FaultCounts::partitions},
    {"duplicated", &FaultCounts::duplicated},
    {"reordered", &FaultCounts::reordered},
    {"delayed long", &FaultCounts::delayed},
    {"strays", &FaultCounts::strays},
    {"forged", &FaultCounts::forged},
    {"overflowed a socket", &FaultCounts::overflowed},
    {"device restarts", &FaultCounts::device_restarts},
    {"programs killed", &FaultCounts::program_kills},
    {"programs stopped", &FaultCounts::program_stops},
    {"programs paused", &FaultCounts::program_pauses},
};

void add(FaultCounts& total, const FaultCounts& more) {
  for (const FaultKind& kind : kFaultKinds) {
    total.*kind.count += more.*kind.count;
  }
}

void print_faults(const FaultCounts& faults) {
  std::printf("faults:");
  const char* separator = " ";
  for (const FaultKind& kind : kFaultKinds) {
    std::printf("%s%llu %s", separator, static_cast<unsigned long long>(faults.*kind.count),
                kind.name);
    separator = ", ";
  }
  std::printf("\n");
}

bool number_option(int argc, char** argv, int& i, const char* name, unsigned long long& value) {
  if (std::strcmp(argv[i], name) != 0 || i + 1 >= argc) {
    return false;
  }
  char* end = nullptr;
  value = std::strtoull(argv[++i], &end, 10);
  return *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long long wall_seconds = 60;
  unsigned long long run_seconds = zelbor::simulation::kDefaultRunNs / 1'000'000'000;
  unsigned long long first_seed = zelbor::random_seed() % 1'000'000'000'000ULL;
  bool until_violation = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--until-violation") == 0) {
      until_violation = true;
      continue;
    }
    if (!number_option(argc, argv, i, "--seconds", wall_seconds) &&
        !number_option(argc, argv, i, "--run-seconds", run_seconds) &&
        !number_option(argc, argv, i, "--first-seed", first_seed)) {
      std::fprintf(stderr,
                   "usage: %s [--seconds WALL] [--run-seconds SIMULATED] [--first-seed N] "
                   "[--until-violation]\n",
                   argv[0]);
      return 2;
    }
  }
  if (run_seconds * 1'000'000'000ULL <= zelbor::simulation::kHealedNs) {
    std::fprintf(stderr, "%s: a run must last longer than its healed end (%lld s)\n", argv[0],
                 static_cast<long long>(zelbor::simulation::kHealedNs / 1'000'000'000));
    return 2;
  }
  const auto run_ns = static_cast<int64_t>(run_seconds * 1'000'000'000ULL);

  if (const char* replay = std::getenv("DST_SEED")) {
    const Report report = zelbor::simulation::simulate(std::strtoull(replay, nullptr, 10), run_ns);
    std::printf(
        "seed %llu: %.1f simulated s, %llu steps, %llu frames read, %llu batches taken, trace "
        "%016llx\n",
        static_cast<unsigned long long>(report.seed),
        static_cast<double>(report.simulated_ns) * 1e-9,
        static_cast<unsigned long long>(report.steps),
        static_cast<unsigned long long>(report.frames_read),
        static_cast<unsigned long long>(report.batches_taken),
        static_cast<unsigned long long>(report.trace_digest));
    print_faults(report.faults);
    if (report.violation.empty()) {
      std::printf("violations: 0\n");
      return 0;
    }
    std::printf("VIOLATION %s\n%s", report.violation.c_str(), report.trace.c_str());
    return 1;
  }

  const auto started = std::chrono::steady_clock::now();
  const auto budget = std::chrono::seconds(wall_seconds);
  FaultCounts faults{};
  double simulated_s = 0;
  unsigned long long seeds = 0;
  unsigned long long violations = 0;
  unsigned long long frames = 0;
  unsigned long long batches = 0;
  std::printf("seeds from %llu, %llu simulated s each, for %llu s\n", first_seed, run_seconds,
              wall_seconds);
  std::fflush(stdout);
  while (std::chrono::steady_clock::now() - started < budget) {
    const Report report = zelbor::simulation::simulate(first_seed + seeds, run_ns);
    ++seeds;
    simulated_s += static_cast<double>(report.simulated_ns) * 1e-9;
    frames += report.frames_read;
    batches += report.batches_taken;
    add(faults, report.faults);
    if (!report.violation.empty()) {
      ++violations;
      std::printf("VIOLATION %s (replay: DST_SEED=%llu; %.1f simulated s searched)\n%s",
                  report.violation.c_str(), static_cast<unsigned long long>(report.seed),
                  simulated_s, report.trace.c_str());
      std::fflush(stdout);
      if (until_violation) {
        break;
      }
    }
  }
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf(
      "seeds %llu to %llu: %llu runs, %.1f simulated hours in %.1f s (%.0f simulated s "
      "per s), %llu frames read, %llu writer batches taken\n",
      first_seed, first_seed + seeds - 1, seeds, simulated_s / 3600, wall_s, simulated_s / wall_s,
      frames, batches);
  print_faults(faults);
  std::printf("violations: %llu\n", violations);
  return violations == 0 ? 0 : 1;
}
