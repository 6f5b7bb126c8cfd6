// Standard output's failures, made with a file size limit (POSIX systems).
#include "output.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "captured_output.h"

namespace rawcan {
namespace {

using testing::CapturedOutput;

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
