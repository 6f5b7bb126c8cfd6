#include "run_control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
    EXPECT_EQ(link.ops(), (std::vector<Op>{Op::kReadCounters, Op::kStop}))
        << "the counters end with the link";
  }
}

// A write the system takes only in part ends all writing: the rest of that
// write and everything after it never appear, even once there is room again.
TEST(Output, NothingIsWrittenAfterAFailedWrite) {
  CapturedOutput file;
  Output out(file.fd());
  const std::string line(40, 'x');
  rlimit old_limit{};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{100, old_limit.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  for (int i = 0; i < 3; ++i) {
    out.write(line.data(), line.size());
  }
  const bool flushed = out.flush();
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(flushed);
  EXPECT_EQ(out.error(), EFBIG);
  EXPECT_FALSE(out.write(line.data(), line.size()));
  EXPECT_FALSE(out.flush());
  EXPECT_EQ(file.text(), std::string(100, 'x'));
}

}  // namespace
}  // namespace rawcan
