#include "run_control.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "captured_output.h"
#include "scripted_link.h"

namespace rawcan {
namespace {

using testing::CapturedOutput;
using testing::Op;
using testing::ScriptedLink;

TEST(StopInterface, ReportsWhatTheLinkLostAndNothingElse) {
  ZelborCounters lossy{};
  lossy.frames_lost = 46000;
  lossy.frames_overflowed = 347;
  lossy.controls_lost = 1;
  lossy.controls_overflowed = 1;
  lossy.stale = 9;
  ZelborCounters clean{};
  clean.frames_in = 5000;
  clean.stale = 3;
  const std::pair<std::optional<ZelborCounters>, std::string> cases[] = {
      {lossy, "raw_can_reader: 46347 frames lost, 2 control records lost\n"},
      {clean, ""},
      {std::nullopt, ""},  // a library without counters
  };
  for (const auto& [counters, line] : cases) {
    ScriptedLink link;
    link.counters = counters;
    CapturedOutput errors;
    report_loss(stop_interface(link), "/usr/bin/raw_can_reader", errors.file());
    EXPECT_EQ(errors.text(), line);
    EXPECT_EQ(link.ops(), (std::vector<Op>{Op::kStop, Op::kReadCounters}))
        << "stopping counts what was dropped while away";
  }
}

}  // namespace
}  // namespace rawcan
