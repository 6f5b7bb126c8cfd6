// The cost of one yield-and-resume round trip of a simulation task, for each
// kind of task: task_bench [ROUND_TRIPS_OF_A_FIBER]. A thread gets a
// hundredth of the round trips.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tasks.h"

namespace {

using zelbor::simulation::Task;

double ns_per_round_trip(Task::Kind kind, long round_trips) {
  long yields = 0;
  Task* self = nullptr;
  std::unique_ptr<Task> task = Task::make(kind, [&] {
    for (;;) {
      ++yields;
      self->yield();
    }
  });
  self = task.get();
  task->resume();  // the first start is not counted
  const auto began = std::chrono::steady_clock::now();
  for (long i = 0; i < round_trips; ++i) {
    task->resume();
  }
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - began).count();
  task.reset();  // cancelled: unwinds from its yield
  if (yields != round_trips + 1) {
    std::fprintf(stderr, "task_bench: %ld yields for %ld round trips\n", yields, round_trips + 1);
    std::exit(1);
  }
  return ns / static_cast<double>(round_trips);
}

}  // namespace

int main(int argc, char** argv) {
  const long fiber_trips = argc > 1 ? std::atol(argv[1]) : 2'000'000;
  const long thread_trips = fiber_trips / 100 > 0 ? fiber_trips / 100 : 1;
  const double fiber = ns_per_round_trip(Task::Kind::kFiber, fiber_trips);
  const double thread = ns_per_round_trip(Task::Kind::kThread, thread_trips);
  std::printf("fiber (ucontext): %.0f ns per round trip (%ld)\n", fiber, fiber_trips);
  std::printf("thread (baton):   %.0f ns per round trip (%ld)\n", thread, thread_trips);
  return 0;
}
