// Blocking code on a virtual clock: each program's own loop runs as a task
// that gives the processor back wherever it would wait, and the simulation
// resumes it when its virtual time comes. Exactly one of the scheduler and
// its tasks runs at any moment, so a seed replays a run exactly whichever way
// the tasks are made.
#pragma once

#include <functional>
#include <memory>

namespace zelbor::simulation {

// Thrown out of Task::yield() when the task is cancelled, so that its body
// unwinds; a task body must let it through.
struct TaskCancelled {};

class Task {
 public:
  // kFiber: a stack of its own, switched to by a few instructions of our
  // own (with AddressSanitizer's fiber annotations in a sanitized build).
  // kThread: a thread of its own that runs only while it holds the baton.
  enum class Kind { kFiber, kThread };

  static std::unique_ptr<Task> make(Kind kind, std::function<void()> body);
  virtual ~Task() = default;  // a task not yet done is cancelled first

  // From the scheduler: runs the body until it yields or ends.
  virtual void resume() = 0;
  // From inside the body: back to the scheduler until resumed.
  virtual void yield() = 0;
  // From the scheduler: the body unwinds from its yield (or never starts).
  virtual void cancel() = 0;
  virtual bool done() const = 0;
};

// The kind of the environment's DST_TASKS ("threads" or "fibers", the default).
Task::Kind task_kind_from_environment();

}  // namespace zelbor::simulation
