#include "reader_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

#include "captured_output.h"
#include "scripted_link.h"

namespace rawcan {
namespace {

using testing::CapturedOutput;
using testing::FrameRead;
using testing::Op;
using testing::ScriptedLink;
using testing::ScriptedPacer;

const std::string kStartLine = "Start reading CAN messages on channel 4:\n";

RawCanMessage standard_frame(uint32_t id) {
  RawCanMessage frame{};
  frame.id = id;
  frame.length = 1;
  frame.data[0] = static_cast<uint8_t>(id);
  return frame;
}

std::string run(ScriptedLink& link, CapturedOutput& out) {
  ScriptedPacer pacer(link);
  Output output(out.fd());
  run_reader(link, 4, output, pacer);
  output.flush();
  return out.text();
}

TEST(ReaderLoop, EmptyReadsPrintNothingAndPauseTwentyMillisecondsEach) {
  ScriptedLink link;
  for (int i = 0; i < 3; ++i) {
    link.frame_reads.push_back({ERR_NO_DATA, {}});
  }
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine);
  EXPECT_EQ(link.ops(), (std::vector<Op>{Op::kRawCanRead, Op::kPause, Op::kRawCanRead, Op::kPause,
                                         Op::kRawCanRead, Op::kPause}));
  for (const auto& call : link.calls) {
    if (call.op == Op::kPause) {
      EXPECT_EQ(call.args, std::vector<int64_t>{20});
    }
  }
  EXPECT_EQ(link.now_ms, 60);
}

TEST(ReaderLoop, WaitingFramesArePrintedBackToBackThenOnePauseFollows) {
  ScriptedLink link;
  link.frame_reads = {{0, standard_frame(0x1)},
                      {0, standard_frame(0x2)},
                      {0, standard_frame(0x3)},
                      {ERR_NO_DATA, {}},
                      {0, standard_frame(0x4)}};
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine +
                                "0.0000  STD-CAN-ID $001: $01 \n"
                                "0.0000  STD-CAN-ID $002: $02 \n"
                                "0.0000  STD-CAN-ID $003: $03 \n"
                                "0.0000  STD-CAN-ID $004: $04 \n");
  EXPECT_EQ(link.ops(), (std::vector<Op>{Op::kRawCanRead, Op::kRawCanRead, Op::kRawCanRead,
                                         Op::kRawCanRead, Op::kPause, Op::kRawCanRead}));
  EXPECT_EQ(link.calls[3].at_ms, 0);  // no pause between the frames
  EXPECT_EQ(link.calls[5].at_ms, 20);
}

TEST(ReaderLoop, AnyResultOtherThanNoDataIsAFrame) {
  ScriptedLink link;
  link.frame_reads = {
      {-1, standard_frame(0x10)}, {ERR_SOCKET, standard_frame(0x11)}, {7, standard_frame(0x12)}};
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine +
                                "0.0000  STD-CAN-ID $010: $10 \n"
                                "0.0000  STD-CAN-ID $011: $11 \n"
                                "0.0000  STD-CAN-ID $012: $12 \n");
  EXPECT_EQ(link.now_ms, 0);
}

// Lines must not wait in the buffer through a pause, but a stream of frames
// is not flushed line by line.
TEST(ReaderLoop, FlushesBeforeEveryPauseAndNotPerLine) {
  ScriptedLink link;
  link.frame_reads = {{0, standard_frame(0x1)},
                      {0, standard_frame(0x2)},
                      {ERR_NO_DATA, {}},
                      {0, standard_frame(0x3)},
                      {ERR_NO_DATA, {}}};
  CapturedOutput out;
  link.observe_output = [&out] { return out.visible_size(); };
  const std::string text = run(link, out);
  const auto line = static_cast<int64_t>(std::string("0.0000  STD-CAN-ID $001: $01 \n").size());
  const int64_t first_pause_visible = static_cast<int64_t>(kStartLine.size()) + 2 * line;
  std::vector<int64_t> at_pauses;
  std::vector<int64_t> at_reads;
  for (const auto& call : link.calls) {
    (call.op == Op::kPause ? at_pauses : at_reads).push_back(call.visible_output);
  }
  EXPECT_EQ(at_pauses, (std::vector<int64_t>{first_pause_visible, first_pause_visible + line}));
  EXPECT_EQ(at_reads[1], 0);  // nothing flushed while the first frames came in
  EXPECT_EQ(at_reads[2], 0);
  EXPECT_EQ(static_cast<int64_t>(text.size()), first_pause_visible + line);
}

TEST(ReaderLoop, StopsBeforeTheNextReadWhenAStopIsRequested) {
  ScriptedLink link;
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine);
  EXPECT_TRUE(link.calls.empty());
}

TEST(ReaderLoop, ReadsNoMoreOnceAWriteHasFailed) {
  ScriptedLink link;
  for (int i = 0; i < 5000; ++i) {  // far more than one buffer of lines
    link.frame_reads.push_back({0, standard_frame(0x1)});
  }
  const int full = open("/dev/full", O_WRONLY);
  Output out(full);
  ScriptedPacer pacer(link);
  run_reader(link, 4, out, pacer);
  close(full);
  EXPECT_EQ(out.error(), ENOSPC);
  EXPECT_FALSE(link.script_done());
}

}  // namespace
}  // namespace rawcan
