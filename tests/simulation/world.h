// A deterministic simulation of the whole link, with the code that ships in
// every party: the reader's and the writer's loops over the library, a host
// driver in the bridge's loop, the simulated device with its bus, and a
// network between them that loses, duplicates, delays and reorders
// datagrams, partitions, injects strays and forgeries, and restarts the
// device or a program, all on a virtual clock from one seed. After every
// step it checks what the link promises; the first broken promise ends the
// run with the seed, the step and the steps before it, so that the seed
// alone replays the run exactly.
#pragma once

#include <cstdint>
#include <string>

#include "tasks.h"

namespace zelbor::simulation {

struct FaultCounts {
  uint64_t lost;         // datagrams the network dropped
  uint64_t partitioned;  // datagrams dropped by a partition
  uint64_t duplicated;   // extra copies delivered
  uint64_t delayed;      // datagrams held back far beyond the usual delay
  uint64_t reordered;    // datagrams overtaken by a later one
  uint64_t partitions;   // partitions begun
  uint64_t strays;       // valid datagrams from another address
  uint64_t forged;       // malformed datagrams, or ones for another run, from the device's address
  uint64_t overflowed;   // datagrams a full host socket dropped
  uint64_t device_restarts;
  uint64_t program_kills;   // a program gone without a word
  uint64_t program_stops;   // a program stopped as SIGINT stops it
  uint64_t program_pauses;  // a program stopped for a while (SIGSTOP)
};

struct Report {
  uint64_t seed = 0;
  int64_t simulated_ns = 0;
  uint64_t steps = 0;
  FaultCounts faults{};
  uint64_t frames_read = 0;    // frames the readers were handed
  uint64_t batches_taken = 0;  // writer batches the device reported taken
  std::string violation;       // empty: every check held
  std::string trace;           // the steps before the violation
  uint64_t trace_digest = 0;   // of every step traced: two runs of a seed have the same
};

// The seeds' runs last this long unless told otherwise; the last
// kHealedNs of each run has a perfect network.
inline constexpr int64_t kDefaultRunNs = 600'000'000'000;
inline constexpr int64_t kHealedNs = 30'000'000'000;

// The programs run as tasks of `kind`; a seed runs the same with either.
Report simulate(uint64_t seed, int64_t duration_ns = kDefaultRunNs,
                Task::Kind kind = task_kind_from_environment());

}  // namespace zelbor::simulation
