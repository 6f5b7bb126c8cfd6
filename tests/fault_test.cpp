// The programs and the link under hostile input and faults, against the
// simulated device as a real process on a per-test loopback address.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "link.h"
#include "link_core.h"
#include "listing.h"
#include "loopback.h"
#include "sim_device.h"
#include "sim_fixture.h"
#include "wire.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::string kReader = RAW_CAN_READER_PATH;
const std::string kWriter = RAW_CAN_WRITER_PATH;
const std::string kSim = ZELBOR_SIM_PATH;

// Resident memory of a process in KiB, from /proc.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// Counts into `hellos` the HELLOs that came to `device`, a socket that
// answers nothing.
void count_hellos(const UdpEndpoint& device, int& hellos) {
  for (auto bytes = device.receive(0); !bytes.empty(); bytes = device.receive(0)) {
    zelbor::wire::Datagram datagram{};
    if (zelbor::wire::decode(bytes.data(), bytes.size(), datagram) ==
            zelbor::wire::DecodeError::kNone &&
        datagram.header.kind == zelbor::wire::Kind::kHello) {
      ++hellos;
    }
  }
}

using Faults = ProcessTest;

// Kill the device under a running reader and writer, leave it gone, bring it
// back: both go on by themselves, quietly, without growing.
TEST_F(Faults, ProgramsSurviveADeviceThatVanishesAndResumeWhenItReturns) {
  auto sim = start_sim({"--bitrate", "0"});  // no bus timing: batches at any pace
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(reader->wait_for_output("Start reading", milliseconds(5000)));
  auto writer = start({kWriter}, "0", "writer.out");
  ASSERT_TRUE(reader->wait_for_lines(1 + 200, milliseconds(5000)));

  sim->signal(SIGKILL);
  sim->wait_exit(milliseconds(2000));
  long reader_memory = 0, writer_memory = 0;
  std::size_t lines_before = 0;
  {
    // The dead device's ports, bound and answering nothing: to the programs'
    // unconnected sockets the same as closed ones (no ICMP error reaches
    // them), and the HELLO each sends every keepalive interval tells how
    // long it has gone on without a device.
    UdpEndpoint writer_side(device_ip, 34567), reader_side(device_ip, 34569);
    ASSERT_TRUE(writer_side.bound() && reader_side.bound());
    int writer_hellos = 0, reader_hellos = 0;
    const auto both_sent = [&](int hellos) {
      count_hellos(writer_side, writer_hellos);
      count_hellos(reader_side, reader_hellos);
      return writer_hellos >= hellos && reader_hellos >= hellos;
    };
    // Two keepalives on, the reader has listed what the device sent before it died.
    ASSERT_TRUE(wait_until([&] { return both_sent(2); }, milliseconds(5000)));
    reader_memory = resident_kib(reader->pid());
    writer_memory = resident_kib(writer->pid());
    lines_before = count_lines(reader->output());
    // Silent, from the first HELLO after the death on, for longer than the
    // device waits before it counts a host away.
    constexpr int kLater = static_cast<int>(zelbor::sim::kHostTimeoutNs /
                                            (zelbor::kKeepaliveIntervalMs * zelbor::kNsPerMs));
    ASSERT_TRUE(wait_until([&] { return both_sent(1 + kLater); }, milliseconds(10000)))
        << "both keep announcing themselves to a device that is gone";
  }
  EXPECT_TRUE(reader->running());
  EXPECT_TRUE(writer->running());
  EXPECT_EQ(count_lines(reader->output()), lines_before)
      << "nothing listed while the device is gone";
  EXPECT_LE(resident_kib(reader->pid()) - reader_memory, 64);
  EXPECT_LE(resident_kib(writer->pid()) - writer_memory, 64);
  const std::vector<uint32_t> counters_before = batch_counters(reader->output());
  ASSERT_FALSE(counters_before.empty());

  auto restarted = start_sim({"--bitrate", "0"});
  ASSERT_TRUE(reader->wait_for_lines(lines_before + 1, milliseconds(2000)))
      << "the reader lists new frames within two seconds of the device's return";
  const std::vector<uint32_t> counters_after = batch_counters(reader->output());
  EXPECT_GT(counters_after.back(), counters_before.back()) << "the same writer went on";

  writer->signal(SIGINT);
  reader->signal(SIGINT);
  EXPECT_TRUE(killed_by(writer->wait_exit(milliseconds(2000)), SIGINT));
  EXPECT_TRUE(killed_by(reader->wait_exit(milliseconds(2000)), SIGINT));
  EXPECT_EQ(reader->errors(), "");
  EXPECT_EQ(writer->errors(), "");
  EXPECT_EQ(writer->output(), "Start writing CAN messages on channel 0:\n");
}

// Valid datagrams from anyone but the device never reach the listing.
TEST_F(Faults, SpoofedFramesAreNeverListed) {
  auto sim = start_sim();
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(reader->wait_for_output("Start reading", milliseconds(5000)));
  auto writer = start({kWriter}, "0", "writer.out");
  UdpEndpoint other_port(device_ip, 40000);
  UdpEndpoint other_address(unique_loopback_address(), 34569);
  ASSERT_TRUE(other_port.bound());
  ASSERT_TRUE(other_address.bound());
  RawCanMessage spoof{};
  spoof.id = 0x7AB;
  spoof.length = 1;
  const sockaddr_in reader_endpoint = endpoint(device_ip, 34570);
  for (uint32_t sequence = 0; sequence < 200; ++sequence) {
    std::vector<uint8_t> bytes(zelbor::wire::kMaxDatagram);
    bytes.resize(
        zelbor::wire::encode_frames({1, 0, sequence, 0}, &spoof, 1, bytes.data(), bytes.size()));
    other_port.send_to(reader_endpoint, bytes);
    other_address.send_to(reader_endpoint, bytes);
  }
  ASSERT_TRUE(reader->wait_for_lines(1 + 300, milliseconds(5000)));
  writer->signal(SIGINT);
  reader->signal(SIGINT);
  reader->wait_exit(milliseconds(2000));
  EXPECT_EQ(reader->output().find("$7AB"), std::string::npos);
}

// Arguments of any length and shape end in a defined message, never a crash.
TEST_F(Faults, OddArgumentsEndInAMessageNeverACrash) {
  const std::string huge_number(100000, '9');
  struct Case {
    std::string host, device, channel;
  };
  std::vector<Case> cases = {
      {huge_number, address, "1"},  // host 255.255.255.255: its bind fails at once
      // Host 0.0.0.0 takes the port on every local address, so no test beside
      // this one could bind it: each such case has a port no other test uses.
      {"", address, "1000"},
      {"not an address", address, "1001"},
      {address + std::string(5000, 'x'), address, "2"},
      {address, address + std::string(5000, '.'), "3"},
      {address, address, ""},
      {address, address, "abc"},
      {address, address, "-5"},
      {address, address, "2147483647"},
      {address, address, "-2147483648"},
      {address, address, huge_number},
      {address, address, std::string(100000, '-')},
  };
  std::vector<std::unique_ptr<Process>> runs;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    // Each case its own host address, so equal channels do not collide.
    const std::string host =
        cases[i].host == address ? dotted(unique_loopback_address()) : cases[i].host;
    runs.push_back(
        start({kReader}, host, cases[i].device, cases[i].channel, "odd" + std::to_string(i)));
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const int status = runs[i]->wait_exit(milliseconds(10000));
    const std::string output = runs[i]->output();
    EXPECT_TRUE(exited_with(status, 1)) << "case " << i << " status " << status;
    EXPECT_TRUE(output == "Socket error, exiting ...\n" ||
                output == "INIT_CAN_CHIP failed, exiting ...\n")
        << "case " << i << ": " << output;
    EXPECT_EQ(runs[i]->errors(), "") << "case " << i;
  }
}

TEST_F(Faults, TheSimulatorRefusesBadOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"--channels", "0"},  {"--channels", "65"},
      {"--channels", "x"},  {"--drop", "1.5"},
      {"--drop", "-0.1"},   {"--address", "300.1.1.1"},
      {"--bogus"},          {"--address"},
      {"--bitrate", "999"}, {"--bitrate", "1000001"},
      {"--tx-queue", "0"},  {"--tx-queue", "65537"},
      {"--seed", "1"},      {"--drop", "0.1", "--seed", "x"}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::string> argv = {kSim};
    argv.insert(argv.end(), cases[i].begin(), cases[i].end());
    Process sim(argv, scratch.file("bad" + std::to_string(i)));
    EXPECT_TRUE(exited_with(sim.wait_exit(milliseconds(5000)), 2)) << cases[i][0];
    EXPECT_EQ(sim.errors().rfind("usage: zelbor_sim", 0), 0u) << cases[i][0];
  }
}

// Dropped datagrams: the reader's link counts every gap exactly, nothing is
// delivered twice, and the writer's pacing survives lost reports. Its seed
// (RAWCAN_FAULT_SEED to replay one) names the batches the reader lost.
TEST_F(Faults, LossIsCountedExactlyAndNothingIsDeliveredTwice) {
  const char* replayed = std::getenv("RAWCAN_FAULT_SEED");
  const std::string seed =
      replayed != nullptr ? replayed
                          : std::to_string(Clock::now().time_since_epoch().count() & 0xFFFFFFFF);
  SCOPED_TRACE("RAWCAN_FAULT_SEED=" + seed);
  auto sim = start_sim({"--drop", "0.1", "--seed", seed, "--bitrate", "0"});
  auto writer = std::make_unique<InterfaceState>();
  auto reader = std::make_unique<InterfaceState>();
  CtrlMessage init{};
  init.type = INIT_CAN_CHIP;
  init.length = 10;
  ASSERT_EQ(zelbor::link_start(writer.get(), device_ip, device_ip, 34568, 34567, 0), 0);
  ASSERT_EQ(zelbor::link_start(reader.get(), device_ip, device_ip, 34570, 34569, 1), 0);
  ASSERT_EQ(zelbor::link_ctrl_write(writer.get(), &init), 0);
  ASSERT_EQ(zelbor::link_ctrl_write(reader.get(), &init), 0);

  std::multiset<uint32_t> received;
  auto drain = [&] {
    RawCanMessage frame{};
    while (zelbor::link_raw_can_read(reader.get(), &frame) == 0) {
      received.insert(frame.id & ~RAW_CAN_EXTENDED_FLAG);
    }
  };
  constexpr uint32_t kBatches = 200;
  int reports = 0;
  for (uint32_t batch = 0; batch < kBatches; ++batch) {
    RawCanMessage frames[50]{};
    for (uint32_t i = 0; i < 50; ++i) {
      frames[i].id = RAW_CAN_EXTENDED_FLAG | (batch * 50 + i);
    }
    ASSERT_EQ(zelbor::link_raw_can_write(writer.get(), frames, 50), 0);
    // Wait for this batch's report; a lost one is repeated by the device.
    CtrlMessage record{};
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    int32_t result = ERR_NO_DATA;
    while (Clock::now() < deadline) {
      result = zelbor::link_ctrl_read(writer.get(), &record);
      if (result == 0 && record.type == MESSAGE_COUNT) {
        break;
      }
      drain();
    }
    ASSERT_EQ(result, 0) << "batch " << batch;
    EXPECT_EQ(record.data[0] | record.data[1] << 8, 50);
    ++reports;
    drain();
  }
  // Frames of one more writer datagram, until the reader has one, show any
  // gap left at the end: only frames after the last one received stay uncounted.
  const std::size_t before_markers = received.size();
  for (int tries = 0; tries < 200 && received.size() == before_markers; ++tries) {
    RawCanMessage marker{};
    marker.id = RAW_CAN_EXTENDED_FLAG | (kBatches * 50 + static_cast<uint32_t>(tries));
    ASSERT_EQ(zelbor::link_raw_can_write(writer.get(), &marker, 1), 0);
    const auto deadline = Clock::now() + milliseconds(20);
    while (received.size() == before_markers && Clock::now() < deadline) {
      drain();
      CtrlMessage ignored{};
      zelbor::link_ctrl_read(writer.get(), &ignored);
    }
  }
  ASSERT_GT(received.size(), before_markers);
  CtrlMessage extra{};
  while (zelbor::link_ctrl_read(writer.get(), &extra) == 0) {
    EXPECT_NE(extra.type, MESSAGE_COUNT) << "a report delivered twice";
  }
  zelbor::link_stop(writer.get());
  // Stopped, the device tells how many frames it sent the reader; those still
  // on their way, markers among them, arrive.
  sim->signal(SIGINT);
  ASSERT_TRUE(exited_with(sim->wait_exit(milliseconds(2000)), 0));
  const ChannelTotals totals = channel_totals(sim->output(), 1);
  ASSERT_TRUE(totals.found) << sim->output();
  EXPECT_TRUE(wait_until(
      [&] {
        drain();
        return received.size() >= totals.frames_out;
      },
      milliseconds(5000)));
  ZelborCounters counters{};
  ASSERT_EQ(zelbor::link_counters(reader.get(), &counters), 0);
  zelbor::link_stop(reader.get());

  EXPECT_EQ(reports, static_cast<int>(kBatches));
  for (const uint32_t id : received) {
    EXPECT_EQ(received.count(id), 1u) << "frame " << id << " delivered twice";
  }
  EXPECT_EQ(totals.frames_in, 0u);
  const unsigned long long frames_out = totals.frames_out, dropped = totals.dropped,
                           datagrams_dropped = totals.datagrams_dropped;
  EXPECT_GT(datagrams_dropped, 0u);
  EXPECT_EQ(received.size(), frames_out);
  EXPECT_EQ(counters.frames_in, frames_out);
  // Every frame the device numbered for the reader arrived or was counted
  // lost, but for at most the few markers still on their way at the end.
  EXPECT_LE(counters.frames_lost, dropped);
  EXPECT_LE(dropped - counters.frames_lost, 2u) << "every gap counted";
  std::string lost;
  for (uint32_t batch = 0; batch < kBatches; ++batch) {
    if (received.count(batch * 50) == 0) {
      lost += " " + std::to_string(batch);
    }
  }
  std::printf("seed %s: the reader lost the frames of batches%s\n", seed.c_str(), lost.c_str());
}

}  // namespace
}  // namespace rawcan::testing
