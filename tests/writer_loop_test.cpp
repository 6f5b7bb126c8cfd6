#include "writer_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "captured_output.h"
#include "records.h"
#include "scripted_link.h"

namespace rawcan {
namespace {

using testing::CapturedOutput;
using testing::CtrlRead;
using testing::Op;
using testing::ScriptedLink;
using testing::ScriptedPacer;

const std::string kStartLine = "Start writing CAN messages on channel 2:\n";

CtrlMessage record_of(uint16_t type, uint16_t count) {
  CtrlMessage record{};
  record.type = type;
  record.length = 2;
  record.data[0] = static_cast<uint8_t>(count);
  record.data[1] = static_cast<uint8_t>(count >> 8);
  return record;
}

std::string run(ScriptedLink& link, CapturedOutput& out) {
  ScriptedPacer pacer(link);
  Output output(out.fd());
  run_writer(link, 2, output, pacer);
  output.flush();
  return out.text();
}

std::vector<const testing::Call*> writes_of(const ScriptedLink& link) {
  std::vector<const testing::Call*> writes;
  for (const auto& call : link.calls) {
    if (call.op == Op::kRawCanWrite) {
      writes.push_back(&call);
    }
  }
  return writes;
}

TEST(WriterLoop, BatchHoldsFiftyStandardFramesWithTheCounterLittleEndian) {
  ScriptedLink link;
  for (int i = 0; i < 257; ++i) {
    link.ctrl_reads.push_back({0, record_of(5, 0)});
  }
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine);
  const auto writes = writes_of(link);
  ASSERT_EQ(writes.size(), 257u);
  struct Expectation {
    std::size_t batch;
    uint8_t counter[4];
  };
  const Expectation expectations[] = {{0, {0, 0, 0, 0}}, {1, {1, 0, 0, 0}}, {256, {0, 1, 0, 0}}};
  for (const Expectation& e : expectations) {
    const auto* call = writes[e.batch];
    EXPECT_EQ(call->args, std::vector<int64_t>{50});
    ASSERT_EQ(call->frames.size(), 50u);
    for (std::size_t i = 0; i < 50; ++i) {
      const RawCanMessage& frame = call->frames[i];
      EXPECT_EQ(frame.id, 0x3E8u + i);
      EXPECT_EQ(frame.length, 8);
      EXPECT_EQ(frame.aux_byte, 0);
      EXPECT_EQ(frame.aux_word, 0u);
      EXPECT_EQ(frame.time_high, 0u);
      EXPECT_EQ(frame.time_low, 0u);
      const uint8_t expected_data[8] = {
          e.counter[0], e.counter[1], e.counter[2], e.counter[3], 0, 0, 0, 0};
      EXPECT_EQ(std::vector<uint8_t>(frame.data, frame.data + 8),
                std::vector<uint8_t>(expected_data, expected_data + 8))
          << "batch " << e.batch << " frame " << i;
    }
  }
}

TEST(WriterLoop, OnlyMessageCountsOtherThanFiftyArePrintedAsUnsigned) {
  struct Case {
    CtrlMessage record;
    std::string printed;
  };
  const Case cases[] = {
      {record_of(MESSAGE_COUNT, 50), ""},
      {record_of(MESSAGE_COUNT, 37), "37 Messages\n"},
      {record_of(MESSAGE_COUNT, 50000), "50000 Messages\n"},
      {record_of(MESSAGE_COUNT, 0), "0 Messages\n"},
      {record_of(5, 37), ""},
      {record_of(INIT_CAN_CHIP, 37), ""},
  };
  for (const Case& c : cases) {
    ScriptedLink link;
    link.ctrl_reads.push_back({0, c.record});
    CapturedOutput out;
    EXPECT_EQ(run(link, out), kStartLine + c.printed);
    EXPECT_EQ(writes_of(link).size(), 1u) << "every delivered record releases one batch";
  }
}

TEST(WriterLoop, EmptyControlReadsReleaseNothingAndAreRetriedWithoutPause) {
  ScriptedLink link;
  link.ctrl_reads = {{ERR_NO_DATA, std::nullopt},
                     {ERR_NO_DATA, std::nullopt},
                     {-1, record_of(5, 0)},
                     {ERR_NO_DATA, std::nullopt}};
  CapturedOutput out;
  run(link, out);
  EXPECT_EQ(link.ops(), (std::vector<Op>{Op::kCtrlRead, Op::kCtrlRead, Op::kCtrlRead,
                                         Op::kRawCanWrite, Op::kPause, Op::kCtrlRead}));
  EXPECT_EQ(link.calls[2].at_ms, 0);
  EXPECT_EQ(link.calls[5].at_ms, 20);
}

// A library may leave the record untouched on an empty read; the previous
// report must not be printed again for it.
TEST(WriterLoop, AReportIsPrintedOnceEvenWhenEmptyReadsLeaveItInPlace) {
  ScriptedLink link;
  link.ctrl_reads.push_back({0, record_of(MESSAGE_COUNT, 37)});
  for (int i = 0; i < 100; ++i) {
    link.ctrl_reads.push_back({ERR_NO_DATA, std::nullopt});
  }
  link.ctrl_reads.push_back({0, record_of(MESSAGE_COUNT, 50)});
  link.ctrl_reads.push_back({0, record_of(MESSAGE_COUNT, 49)});
  CapturedOutput out;
  EXPECT_EQ(run(link, out), kStartLine + "37 Messages\n49 Messages\n");
  EXPECT_EQ(writes_of(link).size(), 3u);
}

TEST(WriterLoop, OneBatchPerRecordAndTwentyMillisecondsAfterEach) {
  ScriptedLink link;
  for (int i = 0; i < 4; ++i) {
    link.ctrl_reads.push_back({0, record_of(MESSAGE_COUNT, 50)});
  }
  CapturedOutput out;
  run(link, out);
  const auto writes = writes_of(link);
  ASSERT_EQ(writes.size(), 4u);
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i]->at_ms, static_cast<int64_t>(20 * i));
  }
  EXPECT_EQ(link.now_ms, 80);
}

TEST(WriterLoop, OutputIsFlushedBeforeEveryPause) {
  ScriptedLink link;
  link.ctrl_reads = {{0, record_of(MESSAGE_COUNT, 37)}, {0, record_of(MESSAGE_COUNT, 12)}};
  CapturedOutput out;
  link.observe_output = [&out] { return out.visible_size(); };
  run(link, out);
  std::vector<int64_t> at_pauses;
  for (const auto& call : link.calls) {
    if (call.op == Op::kPause) {
      at_pauses.push_back(call.visible_output);
    }
  }
  const auto first = static_cast<int64_t>((kStartLine + "37 Messages\n").size());
  EXPECT_EQ(at_pauses, (std::vector<int64_t>{first, first + 12}));
}

}  // namespace
}  // namespace rawcan
