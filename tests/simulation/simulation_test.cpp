// Seeds on which the simulation once found a fault, each run again in full.
// A seed names one run of the world as it is: a change to the simulation
// itself changes what a seed runs, so after one, the faults are found again
// (by undoing each mend) and their new seeds go here.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "world.h"

namespace zelbor::simulation {
namespace {

struct FoundFault {
  uint64_t seed;
  const char* fault;
};

const FoundFault kFoundFaults[] = {
    {3, "a device joined from a late copy waited for a batch the host no longer held"},
    {45, "repeated control records moved the stream back and were delivered again"},
    {29, "a late datagram of a device session two restarts back took the host back to it"},
    {42, "a restarted device took late copies of batches its earlier session had taken"},
    {863, "frames were delivered again when reordering moved the stream back"},
    // Not found again since the simulation runs the real code: with its mend
    // undone, seeds 1 to 908 (151 simulated hours) did not show it. Kept, as
    // the seed it was once found on.
    {102134061861,
     "a late HELLO of a killed run took the seat from a busy run that never said HELLO"},
    {662847306324, "a control write the host driver was paused in for 1 s was held to its bound"},
};

void PrintTo(const FoundFault& found, std::ostream* out) {
  *out << "seed " << found.seed;
}

class Simulation : public ::testing::TestWithParam<FoundFault> {};

TEST_P(Simulation, SeedsThatOnceFoundAFaultStayClean) {
  const Report report = simulate(GetParam().seed);
  EXPECT_EQ(report.violation, "") << GetParam().fault << "\n" << report.trace;
  EXPECT_EQ(report.simulated_ns, kDefaultRunNs);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Simulation, ::testing::ValuesIn(kFoundFaults),
                         [](const ::testing::TestParamInfo<FoundFault>& info) {
                           return "seed" + std::to_string(info.param.seed);
                         });

class Tasks : public ::testing::TestWithParam<Task::Kind> {};

TEST_P(Tasks, RunOneAtATimeInTheOrderResumed) {
  std::string order;
  Task* tasks[2] = {};
  auto body = [&](int who) {
    for (int i = 0; i < 3; ++i) {
      order += static_cast<char>('a' + who);
      tasks[who]->yield();
    }
  };
  auto a = Task::make(GetParam(), [&] { body(0); });
  auto b = Task::make(GetParam(), [&] { body(1); });
  tasks[0] = a.get();
  tasks[1] = b.get();
  for (Task* next : {tasks[1], tasks[0], tasks[0], tasks[1], tasks[1], tasks[0], tasks[0]}) {
    next->resume();
  }
  EXPECT_EQ(order, "baabba");
  EXPECT_TRUE(a->done());
  EXPECT_FALSE(b->done());
}

TEST_P(Tasks, ACancelledTaskUnwindsFromItsYield) {
  struct Unwound {
    bool& flag;
    ~Unwound() { flag = true; }
  };
  bool unwound = false;
  bool went_on = false;
  Task* self = nullptr;
  auto task = Task::make(GetParam(), [&] {
    Unwound guard{unwound};
    self->yield();
    went_on = true;
  });
  self = task.get();
  task->resume();
  task->cancel();
  EXPECT_TRUE(unwound);
  EXPECT_FALSE(went_on);
  EXPECT_TRUE(task->done());
}

INSTANTIATE_TEST_SUITE_P(Kinds, Tasks, ::testing::Values(Task::Kind::kFiber, Task::Kind::kThread),
                         [](const ::testing::TestParamInfo<Task::Kind>& info) {
                           return info.param == Task::Kind::kFiber ? "fibers" : "threads";
                         });

// The real programs' loops replay a seed exactly, whichever kind of task runs them.
TEST(SimulationReplay, ASeedRunsTheSameTwiceAndWithEitherKindOfTask) {
  const int64_t run_ns = kHealedNs + 30'000'000'000;
  const Report first = simulate(4, run_ns, Task::Kind::kFiber);
  const Report again = simulate(4, run_ns, Task::Kind::kFiber);
  const Report threads = simulate(4, run_ns, Task::Kind::kThread);
  EXPECT_GT(first.frames_read, 0u);
  EXPECT_GT(first.batches_taken, 0u);
  for (const Report* other : {&again, &threads}) {
    EXPECT_EQ(other->trace_digest, first.trace_digest);
    EXPECT_EQ(other->steps, first.steps);
    EXPECT_EQ(other->frames_read, first.frames_read);
  }
}

}  // namespace
}  // namespace zelbor::simulation
