// The link's send policy, through the seam around its system calls: a
// temporary failure is retried within a bound, a lasting one is reported,
// nothing blocks for long.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>

#include "link.h"
#include "loopback.h"
#include "udp.h"
#include "wire.h"

namespace zelbor {
namespace {

using rawcan::testing::endpoint;
using rawcan::testing::UdpEndpoint;
using rawcan::testing::unique_loopback_address;

struct Outcome {
  int64_t result;  // -1 with `error`, or a byte count; 0 means "pass to the system"
  int error;
};

// Scripted results for the next calls; once used up, the real calls run.
std::deque<Outcome> g_send_script;
std::deque<Outcome> g_receive_script;
int g_send_calls = 0;
int g_polls = 0;
int g_waited_ms = 0;  // the longest the polls could have waited, together

int64_t scripted_send(SocketHandle socket, const uint8_t* bytes, std::size_t size,
                      const sockaddr_in& to) {
  ++g_send_calls;
  if (!g_send_script.empty()) {
    const Outcome outcome = g_send_script.front();
    g_send_script.pop_front();
    if (outcome.result != 0) {
      errno = outcome.error;
      return outcome.result;
    }
  }
  return system_socket_ops().send_to(socket, bytes, size, to);
}

int scripted_receive(SocketHandle socket, DatagramSlot* slots, int count) {
  if (!g_receive_script.empty()) {
    const Outcome outcome = g_receive_script.front();
    g_receive_script.pop_front();
    errno = outcome.error;
    return -1;
  }
  return system_socket_ops().receive_many(socket, slots, count);
}

// The link's only blocking call: what it asks for bounds how long it blocks,
// however slow the machine.
int counting_wait(SocketHandle socket, bool for_writing, int timeout_ms) {
  ++g_polls;
  g_waited_ms += timeout_ms;
  return system_socket_ops().wait(socket, for_writing, timeout_ms);
}

const SocketOps kScriptedOps{scripted_send, scripted_receive, counting_wait};

class SendPolicy : public ::testing::Test {
 protected:
  const uint32_t address = unique_loopback_address();
  std::unique_ptr<InterfaceState> state = std::make_unique<InterfaceState>();
  UdpEndpoint device{address, 34567};
  uint32_t host_session = 0;

  void SetUp() override {
    ASSERT_TRUE(device.bound());
    ASSERT_EQ(link_start(state.get(), address, address, 34568, 34567, 0), 0);
    const auto hello = device.receive(1000);
    wire::Datagram datagram{};
    ASSERT_EQ(wire::decode(hello.data(), hello.size(), datagram), wire::DecodeError::kNone);
    host_session = datagram.header.envelope.session;
    link_set_socket_ops(state.get(), &kScriptedOps);
    g_send_script.clear();
    g_receive_script.clear();
    g_send_calls = 0;
    g_polls = 0;
    g_waited_ms = 0;
  }
  void TearDown() override { link_stop(state.get()); }

  int32_t write_one_frame() {
    RawCanMessage frame{};
    frame.id = 0x123;
    return link_raw_can_write(state.get(), &frame, 1);
  }
  ZelborCounters counters() {
    ZelborCounters result{};
    link_counters(state.get(), &result);
    return result;
  }
};

TEST_F(SendPolicy, TemporaryFailuresAreRetriedUntilTheDatagramGoesOut) {
  struct Case {
    const char* what;
    std::deque<Outcome> script;
    int expected_polls;
  };
  const Case cases[] = {
      {"interrupted", {{-1, EINTR}, {-1, EINTR}, {-1, EINTR}}, 0},
      {"buffer full", {{-1, EAGAIN}, {-1, EAGAIN}, {-1, EWOULDBLOCK}}, 3},
      {"no buffer space", {{-1, ENOBUFS}, {-1, ENOBUFS}}, 2},
      {"refused by an earlier ICMP error", {{-1, ECONNREFUSED}}, 0},
      {"all of them", {{-1, EINTR}, {-1, ENOBUFS}, {-1, ECONNREFUSED}, {-1, EAGAIN}}, 2},
  };
  uint64_t retries = 0;
  for (const Case& c : cases) {
    g_send_script = c.script;
    g_polls = 0;
    EXPECT_EQ(write_one_frame(), 0) << c.what;
    EXPECT_EQ(g_polls, c.expected_polls) << c.what;
    retries += c.script.size();
    EXPECT_EQ(counters().send_retries, retries) << c.what;
    wire::Datagram datagram{};
    const auto bytes = device.receive(500);
    ASSERT_EQ(wire::decode(bytes.data(), bytes.size(), datagram), wire::DecodeError::kNone)
        << c.what;
    EXPECT_EQ(datagram.header.kind, wire::Kind::kFrames);
  }
  EXPECT_EQ(counters().send_failures, 0u);
}

// A frame write whose send fails for good is still taken: the frames are
// held and go out once sending works again, so a writer never waits on a
// batch that never left.
TEST_F(SendPolicy, LastingFailuresAreCountedWithinABoundAndTheFramesGoOutLater) {
  struct Case {
    const char* what;
    Outcome outcome;
    int max_calls;
  };
  const Case cases[] = {
      {"buffer full for good", {-1, EAGAIN}, 20},    {"interrupted for good", {-1, EINTR}, 20},
      {"refused for good", {-1, ECONNREFUSED}, 20},  {"not permitted", {-1, EPERM}, 1},
      {"network unreachable", {-1, ENETUNREACH}, 1}, {"short send", {5, 0}, 1},
  };
  uint64_t failures = 0;
  for (const Case& c : cases) {
    g_send_script.assign(100, c.outcome);
    g_send_calls = 0;
    g_waited_ms = 0;
    EXPECT_EQ(write_one_frame(), 0) << c.what;
    EXPECT_LE(g_waited_ms, udp::kSendAttempts * udp::kSendBackoffMs) << c.what;
    EXPECT_EQ(g_send_calls, c.max_calls) << c.what;
    EXPECT_EQ(counters().send_failures, ++failures) << c.what;
  }
  g_send_script.clear();
  int frame_datagrams = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (frame_datagrams < 6 && std::chrono::steady_clock::now() < deadline) {
    CtrlMessage record{};
    link_ctrl_read(state.get(), &record);  // any call that receives sends what is held
    for (auto bytes = device.receive(0); !bytes.empty(); bytes = device.receive(0)) {
      wire::Datagram datagram{};
      if (wire::decode(bytes.data(), bytes.size(), datagram) == wire::DecodeError::kNone &&
          datagram.header.kind == wire::Kind::kFrames) {
        EXPECT_EQ(datagram.header.envelope.sequence, static_cast<uint32_t>(frame_datagrams));
        ++frame_datagrams;
      }
    }
  }
  EXPECT_EQ(frame_datagrams, 6) << "every held datagram goes out, in order";
}

TEST_F(SendPolicy, AControlWriteThatCannotBeSentFailsAtOnce) {
  g_send_script.assign(100, Outcome{-1, EPERM});
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  EXPECT_EQ(link_ctrl_write(state.get(), &init), ERR_SOCKET);
  EXPECT_EQ(g_waited_ms, 0) << "no attempt waited for an answer";
}

TEST_F(SendPolicy, ReceiveErrorsMeanNoDataAndAnInterruptedReceiveIsRetried) {
  const sockaddr_in host = endpoint(address, 34568);
  RawCanMessage frame{};
  frame.id = 0x42;
  std::vector<uint8_t> bytes(wire::kMaxDatagram);
  bytes.resize(wire::encode_frames({3, host_session, 0, 0}, &frame, 1, bytes.data(), bytes.size()));
  ASSERT_TRUE(device.send_to(host, bytes));
  // The frame waits on the link's socket, so no data below is the scripted error's doing.
  ZelborLinkStatus status{};
  ASSERT_EQ(link_status(state.get(), &status), 0);
  ASSERT_EQ(system_socket_ops().wait(static_cast<SocketHandle>(status.descriptor), false, 5000), 1);

  g_receive_script = {{-1, ECONNREFUSED}};
  RawCanMessage received{};
  EXPECT_EQ(link_raw_can_read(state.get(), &received), ERR_NO_DATA);
  g_receive_script = {{-1, EINTR}, {-1, EINTR}};
  EXPECT_EQ(link_raw_can_read(state.get(), &received), 0);
  EXPECT_EQ(received.id, 0x42u);
}

}  // namespace
}  // namespace zelbor
