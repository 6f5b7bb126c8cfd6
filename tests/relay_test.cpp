// The relay as a real process between a bare test host and a bare test
// device; the programs through the relay are the recovery tests' part.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"
#include "sim_fixture.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;

std::vector<uint8_t> bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

using Relay = ProcessTest;

TEST_F(Relay, ForwardsBothWaysByteForByteAndDropsEverythingWhileDown) {
  const uint32_t host = unique_loopback_address(), relay_address = unique_loopback_address();
  // The test plays host and device on channel 2, which only a third channel has.
  auto relay = start_relay(dotted(relay_address), {"--channels", "3"});

  UdpEndpoint test_host(host, 0), test_device(device_ip, 34571);
  ASSERT_TRUE(test_host.bound() && test_device.bound());
  const sockaddr_in relay_channel_2 = endpoint(relay_address, 34571);
  sockaddr_in upstream{}, source{};
  const std::vector<uint8_t> binary = {0x00, 0xFF, 0x5A, 0x42, 0x0A, 0x80};
  ASSERT_TRUE(test_host.send_to(relay_channel_2, binary));
  EXPECT_EQ(test_device.receive(5000, &upstream), binary);
  EXPECT_EQ(ntohl(upstream.sin_addr.s_addr), relay_address);
  ASSERT_TRUE(test_device.send_to(upstream, bytes("down")));
  EXPECT_EQ(test_host.receive(5000, &source), bytes("down"));
  EXPECT_EQ(ntohl(source.sin_addr.s_addr), relay_address);
  EXPECT_EQ(ntohs(source.sin_port), 34571);

  relay->signal(SIGUSR1);
  ASSERT_TRUE(relay->wait_for_output("link down\n", milliseconds(5000)));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(test_host.send_to(relay_channel_2, bytes("lost up")));
    ASSERT_TRUE(test_device.send_to(upstream, bytes("lost down")));
  }
  relay->signal(SIGUSR2);
  ASSERT_TRUE(relay->wait_for_output("link up\n", milliseconds(5000)));
  // The first datagrams through are the new ones: those sent while down were dropped, not held.
  ASSERT_TRUE(test_host.send_to(relay_channel_2, bytes("up again")));
  EXPECT_EQ(test_device.receive(5000), bytes("up again"));
  ASSERT_TRUE(test_device.send_to(upstream, bytes("down again")));
  EXPECT_EQ(test_host.receive(5000), bytes("down again"));

  relay->signal(SIGTERM);
  EXPECT_TRUE(exited_with(relay->wait_exit(milliseconds(5000)), 0));
  const std::string totals = relay->output();
  unsigned long long forwarded[2] = {}, lost[2] = {}, in_outages[2] = {};
  const char* names[2] = {"to device: ", "to host: "};
  for (int direction = 0; direction < 2; ++direction) {
    const std::size_t at = totals.find(names[direction]);
    ASSERT_NE(at, std::string::npos) << totals;
    ASSERT_EQ(std::sscanf(totals.c_str() + at + std::strlen(names[direction]),
                          "forwarded %llu, lost %llu, lost in outages %llu", &forwarded[direction],
                          &lost[direction], &in_outages[direction]),
              3)
        << totals;
    EXPECT_EQ(lost[direction], 0u);
    EXPECT_GE(in_outages[direction], 3u) << totals;
  }
  EXPECT_EQ(forwarded[0], 2u);
  EXPECT_EQ(forwarded[1], 2u);
}

}  // namespace
}  // namespace rawcan::testing
