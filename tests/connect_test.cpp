#include "connect.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "captured_output.h"
#include "records.h"
#include "scripted_link.h"

namespace rawcan {
namespace {

using testing::CapturedOutput;
using testing::Op;
using testing::ScriptedLink;

struct StartRun {
  StartOutcome outcome;
  std::string output;
};

StartRun start_with(ScriptedLink& link, std::vector<const char*> argv) {
  CapturedOutput captured;
  Output out(captured.fd());
  const StartOutcome outcome = start_device(static_cast<int>(argv.size()), argv.data(), link, out);
  out.flush();
  return {outcome, captured.text()};
}

TEST(StartDevice, WrongArgumentCountPrintsUsageAndNeverCallsTheLibrary) {
  const std::vector<std::vector<const char*>> cases = {
      {"./raw_can_reader"},
      {"raw_can_writer", "10.0.0.2", "192.168.1.10"},
      {"/usr/bin/raw_can_reader", "10.0.0.2", "192.168.1.10", "0", "extra"},
  };
  for (const auto& argv : cases) {
    ScriptedLink link;
    const StartRun run = start_with(link, argv);
    EXPECT_FALSE(run.outcome.ready);
    EXPECT_EQ(run.outcome.exit_status, 1);
    EXPECT_EQ(run.output, std::string("usage: ") + argv[0] + " host_ip zelbor_ip can_channel\n");
    EXPECT_TRUE(link.calls.empty());
  }
}

TEST(StartDevice, PassesDeviceAddressFirstThenHostAddressPortsAndChannel) {
  struct Case {
    const char* host;
    const char* device;
    const char* channel;
    int64_t host_address, device_address, first_port, second_port, channel_value;
  };
  const Case cases[] = {
      {"10.0.0.2", "192.168.1.10", "0", 0x0A000002, 0xC0A8010A, 34568, 34567, 0},
      {"1.300.0.0", "127.0.0.1", "1", 0x012C0000, 0x7F000001, 34570, 34569, 1},
      {"255.255.255.255", "0.0.0.0", "3", 0xFFFFFFFF, 0, 34574, 34573, 3},
      {"127.0.0.1", "127.0.0.1", "-1", 0x7F000001, 0x7F000001, 34566, 34565, -1},
  };
  for (const Case& c : cases) {
    ScriptedLink link;
    const StartRun run = start_with(link, {"prog", c.host, c.device, c.channel});
    ASSERT_TRUE(run.outcome.ready) << c.host;
    EXPECT_EQ(run.outcome.channel, c.channel_value);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(link.ops(), (std::vector<Op>{Op::kStart, Op::kCtrlWrite}));
    const std::vector<int64_t> expected = {static_cast<uint32_t>(c.device_address),
                                           static_cast<uint32_t>(c.host_address), c.first_port,
                                           c.second_port, c.channel_value};
    EXPECT_EQ(link.calls[0].args, expected) << c.host << " " << c.device << " " << c.channel;
  }
}

TEST(StartDevice, SendsTheFourteenInitCanChipBytes) {
  ScriptedLink link;
  start_with(link, {"prog", "127.0.0.1", "127.0.0.1", "7"});
  ASSERT_EQ(link.calls.size(), 2u);
  const CtrlMessage& sent = link.calls[1].ctrl;
  const uint8_t expected[14] = {0x03, 0x00, 0x0A, 0x00, 0x03, 0x14, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(&sent, expected, sizeof expected), 0);
}

TEST(StartDevice, FailuresPrintTheirLineStopTheInterfaceAndEndWithStatusOne) {
  struct Case {
    int32_t start_result;
    int32_t write_result;
    const char* message;
    std::vector<Op> calls;
  };
  const Case cases[] = {
      {ERR_NO_MEMORY, 0, "Memory allocation error, exiting ...\n", {Op::kStart, Op::kStop}},
      {ERR_SOCKET, 0, "Socket error, exiting ...\n", {Op::kStart, Op::kStop}},
      {0, -1, "INIT_CAN_CHIP failed, exiting ...\n", {Op::kStart, Op::kCtrlWrite, Op::kStop}},
      {-1, 7, "INIT_CAN_CHIP failed, exiting ...\n", {Op::kStart, Op::kCtrlWrite, Op::kStop}},
      {ERR_NO_DATA,
       ERR_SOCKET,
       "INIT_CAN_CHIP failed, exiting ...\n",
       {Op::kStart, Op::kCtrlWrite, Op::kStop}},
  };
  for (const Case& c : cases) {
    ScriptedLink link;
    link.start_result = c.start_result;
    link.ctrl_write_result = c.write_result;
    const StartRun run = start_with(link, {"prog", "127.0.0.1", "127.0.0.1", "0"});
    EXPECT_FALSE(run.outcome.ready);
    EXPECT_EQ(run.outcome.exit_status, 1);
    EXPECT_EQ(run.output, c.message);
    EXPECT_EQ(link.ops(), c.calls);
  }
}

TEST(StartDevice, AnyOtherStartResultCountsAsStarted) {
  for (const int32_t result : {0, 1, -1, -8, -12, INT32_MIN}) {
    ScriptedLink link;
    link.start_result = result;
    const StartRun run = start_with(link, {"prog", "127.0.0.1", "127.0.0.1", "2"});
    EXPECT_TRUE(run.outcome.ready) << result;
    EXPECT_EQ(run.outcome.channel, 2);
  }
}

TEST(ParseIpv4, ReadsLikeScanfAndNeverLeavesAValueUndefined) {
  const std::string long_digits(5000, '9');
  const std::string long_address = "10.0.0." + std::string(300, '1');
  struct Case {
    std::string text;
    uint32_t expected;
  };
  const Case cases[] = {
      {"192.168.1.10", 0xC0A8010A},
      {"1.300.0.0", 0x012C0000},  // above 255 spills into the higher bits
      {"10.0.0", 0x0A000000},     // the missing number counts as 0
      {"", 0},
      {"abc", 0},
      {"10..0.2", 0x0A000000},     // scanning stops at the empty field
      {" 10. 1.2.3", 0x0A010203},  // %d skips leading white space
      {"-1.0.0.0", 0xFF000000},
      {"+7.0.0.1", 0x07000001},
      {"1.2.3.4junk", 0x01020304},
      {"4294967296.0.0.1", 0x00000001},  // 2^32 keeps its low 32 bits
      {long_digits, 0},                  // any length, defined result
      {long_address, 0},
  };
  for (const Case& c : cases) {
    uint32_t expected = c.expected;
    if (c.text == long_address) {
      uint32_t last = 0;
      for (int i = 0; i < 300; ++i) {
        last = last * 10 + 1;
      }
      expected = 0x0A000000u | last;
    } else if (c.text == long_digits) {
      uint32_t value = 0;
      for (int i = 0; i < 5000; ++i) {
        value = value * 10 + 9;
      }
      expected = value << 24;
    }
    EXPECT_EQ(parse_ipv4_like_scanf(c.text.c_str()), expected) << c.text.substr(0, 40);
  }
}

TEST(ParseChannel, ReadsLikeScanfWithZeroWhereNothingParses) {
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {{"0", 0},
                        {"3", 3},
                        {"-2", -2},
                        {"", 0},
                        {"x1", 0},
                        {"12abc", 12},
                        {" 5", 5},
                        {"-", 0},
                        {"12345678", 12345678},  // longer than seven characters: parsed in full
                        {"2147483647", INT32_MAX},
                        {"-2147483648", INT32_MIN},
                        {"4294967297", 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(parse_channel(c.text), c.expected) << c.text;
  }
}

TEST(StartDevice, HugeAndNegativeChannelsYieldPortsByThe32BitFormula) {
  ScriptedLink link;
  start_with(link, {"prog", "127.0.0.1", "127.0.0.1", "2147483647"});
  ASSERT_FALSE(link.calls.empty());
  EXPECT_EQ(link.calls[0].args[2], static_cast<int32_t>(34568u + 2u * 2147483647u));
  EXPECT_EQ(link.calls[0].args[3], static_cast<int32_t>(34567u + 2u * 2147483647u));
}

}  // namespace
}  // namespace rawcan
