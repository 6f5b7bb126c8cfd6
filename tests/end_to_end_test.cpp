// The three programs as real processes on loopback, each test with its own
// device address.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"
#include "listing.h"
#include "loopback.h"
#include "sim_fixture.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;

const std::string kReader = RAW_CAN_READER_PATH;
const std::string kWriter = RAW_CAN_WRITER_PATH;
const std::string kReaderName = kReader.substr(kReader.rfind('/') + 1);
const std::string kStubLibrary = std::string("LD_LIBRARY_PATH=") + STUB_LIBRARY_DIR;

using EndToEnd = ProcessTest;

TEST_F(EndToEnd, WriterBatchesReachTheReaderCompleteInOrderAndTimed) {
  auto sim = start_sim({"--bitrate", "0"});  // every frame taken is on the bus at once
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(
      reader->wait_for_output("Start reading CAN messages on channel 1:\n", milliseconds(5000)));
  auto writer = start({kWriter}, "0", "writer.out");
  ASSERT_TRUE(
      writer->wait_for_output("Start writing CAN messages on channel 0:\n", milliseconds(5000)));

  const std::size_t wanted = 1 + 10 * 50;
  ASSERT_TRUE(reader->wait_for_lines(wanted, milliseconds(10000)));
  writer->signal(SIGINT);
  EXPECT_TRUE(killed_by(writer->wait_exit(milliseconds(2000)), SIGINT));
  // The device's totals tell how many frames the writer put on the bus.
  sim->signal(SIGINT);
  EXPECT_TRUE(exited_with(sim->wait_exit(milliseconds(2000)), 0));
  const std::string totals = sim->output();
  const unsigned long long frames_in = channel_totals(totals, 0).frames_in;
  EXPECT_TRUE(reader->wait_for_lines(1 + frames_in, milliseconds(5000)));
  reader->signal(SIGINT);
  EXPECT_TRUE(killed_by(reader->wait_exit(milliseconds(2000)), SIGINT));

  EXPECT_EQ(writer->output(), "Start writing CAN messages on channel 0:\n");
  const std::string listing = reader->output();
  ASSERT_EQ(listing.rfind("Start reading CAN messages on channel 1:\n", 0), 0u);
  const std::vector<ListedFrame> frames = parse_listing(listing);
  EXPECT_EQ(writer_batch_fault(frames), "");
  EXPECT_GT(frames.back().seconds, frames.front().seconds);

  const ChannelTotals to_reader = channel_totals(totals, 1);
  EXPECT_EQ(frames_in, frames.size()) << totals;
  EXPECT_EQ(to_reader.frames_in, 0u) << totals;
  EXPECT_EQ(to_reader.frames_out, frames.size()) << totals;
  EXPECT_EQ(to_reader.dropped, 0u) << totals;
}

TEST_F(EndToEnd, WithoutADeviceBothProgramsReportInitFailureWithinTwoSeconds) {
  for (const std::string& program : {kReader, kWriter}) {
    const auto started = std::chrono::steady_clock::now();
    auto process = start({program}, "0", "out");
    const int status = process->wait_exit(milliseconds(5000));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_TRUE(exited_with(status, 1)) << program;
    EXPECT_EQ(process->output(), "INIT_CAN_CHIP failed, exiting ...\n");
    EXPECT_EQ(process->errors(), "");
  }
}

TEST_F(EndToEnd, AHostAddressNotOnThisMachineIsASocketError) {
  auto sim = start_sim();
  auto reader = start({kReader}, "192.0.2.1", address, "0", "reader.out");
  EXPECT_TRUE(exited_with(reader->wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(reader->output(), "Socket error, exiting ...\n");
}

TEST_F(EndToEnd, TheSameChannelOpenedTwiceOnOneHostIsASocketError) {
  auto sim = start_sim();
  auto first = start({kReader}, "1", "first.out");
  ASSERT_TRUE(first->wait_for_output("Start reading", milliseconds(5000)));
  auto second = start({kWriter}, "1", "second.out");
  EXPECT_TRUE(exited_with(second->wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(second->output(), "Socket error, exiting ...\n");
  EXPECT_TRUE(first->running());
}

TEST_F(EndToEnd, UsageErrorNamesTheProgramAsInvoked) {
  Process reader({kReader, address}, scratch.file("usage.out"));
  EXPECT_TRUE(exited_with(reader.wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(reader.output(), "usage: " + kReader + " host_ip zelbor_ip can_channel\n");
}

// A stop signal ends the program in order: output flushed, the interface
// stopped (the device hears goodbye), the signal's own status.
TEST_F(EndToEnd, StopSignalsFlushStopTheInterfaceAndEndWithTheSignalStatus) {
  auto sim = start_sim();
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    auto reader = start({kReader}, "1", "reader.out");
    ASSERT_TRUE(
        reader->wait_for_output("Start reading CAN messages on channel 1:\n", milliseconds(5000)));
    reader->signal(signal_number);
    EXPECT_TRUE(killed_by(reader->wait_exit(milliseconds(2000)), signal_number));
    EXPECT_EQ(reader->output(), "Start reading CAN messages on channel 1:\n");
    EXPECT_TRUE(sim->wait_for_output("left (goodbye)", milliseconds(2000)));
  }
}

// Start-up waits up to a second for INIT_CAN_CHIP to be acknowledged; a stop
// signal meanwhile ends the program at once, with the signal's status.
TEST_F(EndToEnd, AStopSignalDuringStartUpEndsTheProgramWithItsStatus) {
  UdpEndpoint silent_device(device_ip, 34567);
  ASSERT_TRUE(silent_device.bound());
  auto reader = start({kReader}, "0", "reader.out");
  ASSERT_FALSE(silent_device.receive(5000).empty());  // the library's greeting
  ASSERT_FALSE(silent_device.receive(5000).empty());  // INIT_CAN_CHIP, never acknowledged
  reader->signal(SIGINT);
  EXPECT_TRUE(killed_by(reader->wait_exit(milliseconds(5000)), SIGINT));
  EXPECT_EQ(reader->output(), "");
}

// A failed write stops the interface, then a full disk ends the program with
// a line and status 1, and a closed pipe quietly with SIGPIPE's status.
TEST_F(EndToEnd, FailedOutputStopsTheInterfaceAndEndsByItsCause) {
  auto sim = start_sim();
  const int full = open("/dev/full", O_WRONLY);
  auto to_full = start({kReader}, "1", "full.out", full);
  close(full);
  EXPECT_TRUE(exited_with(to_full->wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(to_full->errors(),
            kReaderName + ": cannot write standard output: No space left on device\n");
  EXPECT_TRUE(sim->wait_for_output("channel 1: host " + address + ":34570 left (goodbye)",
                                   milliseconds(2000)));

  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);
  auto to_closed_pipe = start({kReader}, "0", "pipe.out", pipe_ends[1]);
  close(pipe_ends[1]);
  EXPECT_TRUE(killed_by(to_closed_pipe->wait_exit(milliseconds(5000)), SIGPIPE));
  EXPECT_EQ(to_closed_pipe->errors(), "");
  EXPECT_TRUE(sim->wait_for_output("channel 0: host " + address + ":34568 left (goodbye)",
                                   milliseconds(2000)));
}

// The device maker's library has no counters: the programs load and end as
// usual against it, with nothing to say about loss.
TEST_F(EndToEnd, ALibraryWithoutCountersStillServes) {
  auto reader = start({"/usr/bin/env", kStubLibrary, kReader}, "0", "reader.out");
  ASSERT_TRUE(reader->wait_for_output("STD-CAN-ID $123: $AB \n", milliseconds(5000)))
      << reader->errors();
  reader->signal(SIGINT);
  EXPECT_TRUE(killed_by(reader->wait_exit(milliseconds(5000)), SIGINT));
  EXPECT_EQ(reader->errors(), "");
}

// A library that ends the process with exit() from inside a call: what the
// reader listed before that is in the file, not lost in its buffer.
TEST_F(EndToEnd, LinesListedBeforeALibraryCallsExitAreWritten) {
  auto reader =
      start({"/usr/bin/env", kStubLibrary, "STUB_EXIT_AFTER=3", kReader}, "3", "reader.out");
  EXPECT_TRUE(exited_with(reader->wait_exit(milliseconds(5000)), 0));
  EXPECT_EQ(reader->output(),
            "Start reading CAN messages on channel 3:\n"
            "0.0000  STD-CAN-ID $123: $AB \n"
            "0.0000  STD-CAN-ID $124: $AB \n"
            "0.0000  STD-CAN-ID $125: $AB \n");
}

}  // namespace
}  // namespace rawcan::testing
