// A scripted test double of the device library: answers each call from a
// script, and records every call with its arguments and the time on a fake
// clock that only pauses advance.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "library_calls.h"
#include "run_control.h"

namespace rawcan::testing {

enum class Op {
  kStart,
  kStop,
  kCtrlWrite,
  kCtrlRead,
  kRawCanRead,
  kRawCanWrite,
  kReadCounters,
  kPause
};

struct Call {
  Op op;
  int64_t at_ms;
  std::vector<int64_t> args;
  CtrlMessage ctrl{};
  std::vector<RawCanMessage> frames{};
  int64_t visible_output = -1;  // bytes the output showed at the call, if observed
};

struct FrameRead {
  int32_t result;
  RawCanMessage frame;
};

struct CtrlRead {
  int32_t result;
  std::optional<CtrlMessage> record;  // nullopt: the call leaves the record untouched
};

class ScriptedLink final : public LibraryCalls {
 public:
  int32_t start_result = 0;
  int32_t ctrl_write_result = 0;
  std::deque<FrameRead> frame_reads;
  std::deque<CtrlRead> ctrl_reads;
  std::optional<ZelborCounters> counters;  // nullopt: a library without counters
  std::optional<ZelborLinkStatus> status;  // nullopt: a library without the link status
  std::vector<Call> calls;
  int64_t now_ms = 0;
  std::function<int64_t()> observe_output;  // optional: records visible output per call

  void record(Op op, std::vector<int64_t> args, const CtrlMessage* ctrl = nullptr,
              std::vector<RawCanMessage> frames = {}) {
    Call call{op, now_ms, std::move(args)};
    if (ctrl != nullptr) {
      call.ctrl = *ctrl;
    }
    call.frames = std::move(frames);
    if (observe_output) {
      call.visible_output = observe_output();
    }
    calls.push_back(std::move(call));
  }

  bool script_done() const { return frame_reads.empty() && ctrl_reads.empty(); }

  std::vector<Op> ops() const {
    std::vector<Op> result;
    for (const Call& call : calls) {
      result.push_back(call.op);
    }
    return result;
  }

  int32_t start(uint32_t device_address, uint32_t host_address, int32_t first_port,
                int32_t second_port, int32_t channel) override {
    record(Op::kStart, {device_address, host_address, first_port, second_port, channel});
    return start_result;
  }
  int32_t stop() override {
    record(Op::kStop, {});
    return 0;
  }
  int32_t ctrl_write(const CtrlMessage& message) override {
    record(Op::kCtrlWrite, {}, &message);
    return ctrl_write_result;
  }
  int32_t ctrl_read(CtrlMessage& message) override {
    record(Op::kCtrlRead, {});
    if (ctrl_reads.empty()) {
      return ERR_NO_DATA;
    }
    CtrlRead step = ctrl_reads.front();
    ctrl_reads.pop_front();
    if (step.record) {
      message = *step.record;
    }
    return step.result;
  }
  int32_t raw_can_read(RawCanMessage& message) override {
    record(Op::kRawCanRead, {});
    if (frame_reads.empty()) {
      return ERR_NO_DATA;
    }
    FrameRead step = frame_reads.front();
    frame_reads.pop_front();
    if (step.result != ERR_NO_DATA) {
      message = step.frame;
    }
    return step.result;
  }
  int32_t raw_can_write(const RawCanMessage* frames, int32_t count) override {
    record(Op::kRawCanWrite, {count}, nullptr, std::vector<RawCanMessage>(frames, frames + count));
    return 0;
  }
  bool read_counters(ZelborCounters& result) override {
    record(Op::kReadCounters, {});
    if (counters) {
      result = *counters;
    }
    return counters.has_value();
  }
  bool link_status(ZelborLinkStatus& result) override {
    if (status) {
      result = *status;
    }
    return status.has_value();
  }
};

// Stops once the script is used up; each pause advances the fake clock.
class ScriptedPacer final : public Pacer {
 public:
  explicit ScriptedPacer(ScriptedLink& link) : link_(link) {}
  bool stop_requested() override { return link_.script_done(); }
  void pause_ms(int milliseconds) override {
    link_.record(Op::kPause, {milliseconds});
    link_.now_ms += milliseconds;
  }

 private:
  ScriptedLink& link_;
};

}  // namespace rawcan::testing
