#include "tasks.h"

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define ZELBOR_TASKS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELBOR_TASKS_ASAN 1
#endif
#endif

#ifdef ZELBOR_TASKS_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

namespace zelbor::simulation {
namespace {

// AddressSanitizer must be told each time the stack changes, or it takes the
// other stack's frames for overflows and leaves its own shadow stale.
void start_switch(void** fake_stack_save, const void* bottom, std::size_t size) {
#ifdef ZELBOR_TASKS_ASAN
  __sanitizer_start_switch_fiber(fake_stack_save, bottom, size);
#else
  (void)fake_stack_save, (void)bottom, (void)size;
#endif
}
void finish_switch(void* fake_stack_save, const void** bottom_old, std::size_t* size_old) {
#ifdef ZELBOR_TASKS_ASAN
  __sanitizer_finish_switch_fiber(fake_stack_save, bottom_old, size_old);
#else
  (void)fake_stack_save, (void)bottom_old, (void)size_old;
#endif
}

// The stack switch: saves the callee-saved registers on the current stack,
// stores its pointer in *save_sp, and carries on from load_sp. No signal
// mask and no system call, unlike swapcontext.
extern "C" void zelbor_switch_stack(void** save_sp, void* load_sp);
asm(R"(
    .text
    .globl zelbor_switch_stack
    .type zelbor_switch_stack, @function
zelbor_switch_stack:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size zelbor_switch_stack, .-zelbor_switch_stack
    .section .note.GNU-stack, "", @progbits
    .text
)");

// What both kinds share: the body, run once, and how it ended.
class TaskBody : public Task {
 public:
  bool done() const final { return done_; }

 protected:
  explicit TaskBody(std::function<void()> body) : body_(std::move(body)) {}
  // A cancellation ends the body quietly; anything else it throws is kept
  // for resume() to throw on the scheduler's side.
  void run_body() {
    try {
      body_();
    } catch (const TaskCancelled&) {
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  void rethrow_error() {
    if (error_) {
      std::rethrow_exception(std::exchange(error_, nullptr));
    }
  }
  void unwind_if_cancelled() const {
    if (cancelled_) {
      throw TaskCancelled{};
    }
  }

  bool cancelled_ = false;
  bool done_ = false;

 private:
  std::function<void()> body_;
  std::exception_ptr error_;
};

class FiberTask final : public TaskBody {
 public:
  static constexpr std::size_t kStackBytes = 256 * 1024;

  explicit FiberTask(std::function<void()> body)
      : TaskBody(std::move(body)), stack_(new char[kStackBytes]) {
    // The first switch pops six zeroed registers and returns into start(),
    // entered as if called: a zero return address ends unwinding there.
    auto top = reinterpret_cast<uintptr_t>(stack_.get() + kStackBytes) & ~uintptr_t{15};
    auto* slots = reinterpret_cast<void**>(top) - 8;
    std::memset(slots, 0, 8 * sizeof(void*));
    slots[6] = reinterpret_cast<void*>(&FiberTask::start);
    fiber_sp_ = slots;
  }
  ~FiberTask() override { cancel(); }

  void resume() override {
    if (done_) {
      return;
    }
    started_ = true;
    void* fake_stack = nullptr;
    starting_ = this;
    start_switch(&fake_stack, stack_.get(), kStackBytes);
    zelbor_switch_stack(&scheduler_sp_, fiber_sp_);
    finish_switch(fake_stack, nullptr, nullptr);
    rethrow_error();
  }

  void yield() override {
    void* fake_stack = nullptr;
    start_switch(&fake_stack, scheduler_bottom_, scheduler_size_);
    zelbor_switch_stack(&fiber_sp_, scheduler_sp_);
    finish_switch(fake_stack, &scheduler_bottom_, &scheduler_size_);
    unwind_if_cancelled();
  }

  void cancel() override {
    if (done_) {
      return;
    }
    cancelled_ = true;
    if (!started_) {
      done_ = true;
      return;
    }
    resume();
  }

 private:
  [[noreturn]] static void start() {
    FiberTask* task = starting_;  // the scheduler runs one task at a time
    finish_switch(nullptr, &task->scheduler_bottom_, &task->scheduler_size_);
    task->run_body();
    task->done_ = true;
    start_switch(nullptr, task->scheduler_bottom_, task->scheduler_size_);  // this stack ends
    void* unused = nullptr;
    zelbor_switch_stack(&unused, task->scheduler_sp_);
    std::abort();  // never resumed
  }

  static inline FiberTask* starting_ = nullptr;
  std::unique_ptr<char[]> stack_;
  void* fiber_sp_ = nullptr;
  void* scheduler_sp_ = nullptr;
  const void* scheduler_bottom_ = nullptr;
  std::size_t scheduler_size_ = 0;
  bool started_ = false;
};

// The baton: `task_turn_` says who may run; the other waits for it.
class ThreadTask final : public TaskBody {
 public:
  explicit ThreadTask(std::function<void()> body) : TaskBody(std::move(body)) {
    thread_ = std::thread([this] { run(); });
  }
  ~ThreadTask() override {
    cancel();
    thread_.join();
  }

  void resume() override {
    if (done_) {
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    task_turn_ = true;
    task_wake_.notify_one();
    scheduler_wake_.wait(lock, [this] { return !task_turn_; });
    rethrow_error();
  }

  void yield() override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      task_turn_ = false;
      scheduler_wake_.notify_one();
      task_wake_.wait(lock, [this] { return task_turn_; });
    }
    unwind_if_cancelled();
  }

  void cancel() override {
    if (done_) {
      return;
    }
    cancelled_ = true;
    resume();
  }

 private:
  void run() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      task_wake_.wait(lock, [this] { return task_turn_; });
    }
    if (!cancelled_) {
      run_body();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    task_turn_ = false;
    scheduler_wake_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable task_wake_;
  std::condition_variable scheduler_wake_;
  bool task_turn_ = false;  // the baton; the rest is written only by whoever holds it
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Task> Task::make(Kind kind, std::function<void()> body) {
  if (kind == Kind::kThread) {
    return std::make_unique<ThreadTask>(std::move(body));
  }
  return std::make_unique<FiberTask>(std::move(body));
}

Task::Kind task_kind_from_environment() {
  const char* kind = std::getenv("DST_TASKS");
  return kind != nullptr && std::strcmp(kind, "threads") == 0 ? Task::Kind::kThread
                                                              : Task::Kind::kFiber;
}

}  // namespace zelbor::simulation
