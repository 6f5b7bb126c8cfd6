// The Windows programs under Wine against the Linux simulated device and
// the Linux programs: what one lists or sends, the other sees, line for
// line. Run by `make test-windows`, which builds the Windows programs into
// RAWCAN_WINDOWS_BUILD.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "listing.h"
#include "loopback.h"
#include "ports.h"
#include "sim_fixture.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;

const std::string kReader = RAW_CAN_READER_PATH;
const std::string kWriter = RAW_CAN_WRITER_PATH;
const std::string kWineRun = WINE_RUN_PATH;
constexpr int kCtrlCStatus = 0xC000013A & 0xFF;  // STATUS_CONTROL_C_EXIT, as Wine's exit status
const milliseconds kWineStart(20000);            // a Wine process can take seconds to start

std::string windows_program(const std::string& name) {
  const char* build = std::getenv("RAWCAN_WINDOWS_BUILD");
  return std::string(build != nullptr ? build : DEFAULT_WINDOWS_BUILD) + "/" + name + ".exe";
}

// Windows lines end in "\r\n": the text as a Linux program writes it, or
// "not CRLF" where a line ends otherwise.
std::string from_windows_lines(const std::string& text) {
  std::string lines;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return "not CRLF";
    }
    if (text[i] != '\r') {
      lines += text[i];
    }
  }
  return lines;
}

// Waits until nothing holds UDP `port` on any local address; false after `wait`.
bool port_freed(int port, milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(probe, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    ::close(probe);
    if (free || std::chrono::steady_clock::now() >= deadline) {
      return free;
    }
    std::this_thread::sleep_for(milliseconds(10));  // Wine's server lets the port go by itself
  }
}

class Windows : public ProcessTest {
 protected:
  static std::vector<std::string> under_wine(const std::string& name) {
    return {kWineRun, windows_program(name)};
  }
  // A Windows program on `channel`. Wine binds its port on all of loopback,
  // whatever address it is given, and a Windows program that has ended may
  // hold its port a moment longer, until Wine's server closes it: the next
  // program on that channel waits for the port first.
  std::unique_ptr<Process> start_windows(const std::string& name, const std::string& channel,
                                         const std::string& output, int stdout_fd = -1) {
    EXPECT_TRUE(port_freed(host_port_of(std::stoi(channel)), milliseconds(10000)))
        << "port of channel " << channel << " still held";
    return start(under_wine(name), channel, output, stdout_fd);
  }
};

TEST_F(Windows, TheLinuxReaderListsTheWindowsWritersBatchesWhole) {
  auto sim = start_sim({"--bitrate", "0"});
  auto reader = start({kReader}, "1", "reader.out");
  ASSERT_TRUE(reader->wait_for_output("Start reading", milliseconds(5000)));
  auto writer = start_windows("raw_can_writer", "0", "writer.out");
  ASSERT_TRUE(writer->wait_for_output("Start writing", kWineStart)) << writer->errors();
  EXPECT_TRUE(reader->wait_for_lines(1 + 5 * 50, milliseconds(10000)));

  writer->signal(SIGINT);  // Wine turns it into Ctrl-C
  EXPECT_TRUE(exited_with(writer->wait_exit(milliseconds(5000)), kCtrlCStatus));
  EXPECT_EQ(writer->output(), "Start writing CAN messages on channel 0:\r\n");
  EXPECT_TRUE(sim->wait_for_output("left (goodbye)", milliseconds(2000)));
  reader->signal(SIGINT);
  reader->wait_exit(milliseconds(2000));
  EXPECT_EQ(writer_batch_fault(parse_listing(reader->output())), "");
}

// On a three-channel bus, the Linux writer's frames reach the Linux reader
// on channel 1 and the Windows reader on channel 2 with the same times.
TEST_F(Windows, TheWindowsReaderListsWhatTheLinuxReaderLists) {
  auto sim = start_sim({"--channels", "3"});
  auto linux_reader = start({kReader}, "1", "linux.out");
  auto windows_reader = start_windows("raw_can_reader", "2", "windows.out");
  ASSERT_TRUE(linux_reader->wait_for_output("Start reading", milliseconds(5000)));
  ASSERT_TRUE(windows_reader->wait_for_output("Start reading", kWineStart))
      << windows_reader->errors();
  auto writer = start({kWriter}, "0", "writer.out");
  ASSERT_TRUE(linux_reader->wait_for_lines(1 + 4 * 50, milliseconds(10000)));
  writer->signal(SIGINT);
  writer->wait_exit(milliseconds(2000));
  // The device's totals tell how many frames each reader was sent.
  sim->signal(SIGINT);
  ASSERT_TRUE(exited_with(sim->wait_exit(milliseconds(5000)), 0));
  const ChannelTotals on_windows = channel_totals(sim->output(), 2);
  ASSERT_TRUE(on_windows.found);
  const unsigned long long sent = on_windows.frames_out;
  EXPECT_EQ(channel_totals(sim->output(), 1).frames_out, sent);
  EXPECT_TRUE(linux_reader->wait_for_lines(1 + sent, milliseconds(5000)));
  EXPECT_TRUE(windows_reader->wait_for_lines(1 + sent, milliseconds(5000)));

  windows_reader->signal(SIGINT);
  EXPECT_TRUE(exited_with(windows_reader->wait_exit(milliseconds(5000)), kCtrlCStatus));
  linux_reader->signal(SIGINT);
  linux_reader->wait_exit(milliseconds(2000));
  const std::string linux_listing = linux_reader->output();
  const std::string windows_listing = from_windows_lines(windows_reader->output());
  ASSERT_EQ(linux_listing.rfind("Start reading CAN messages on channel 1:\n", 0), 0u);
  ASSERT_EQ(windows_listing.rfind("Start reading CAN messages on channel 2:\n", 0), 0u);
  EXPECT_TRUE(windows_listing.substr(windows_listing.find('\n')) ==
              linux_listing.substr(linux_listing.find('\n')))
      << "the frame lines differ";
  EXPECT_EQ(windows_reader->errors(), "");
}

// Without a device both builds end with the same line and status (the zip
// check compares the usage line). One program runs at a time: under Wine a
// socket takes its port on every loopback address. (Wine also binds a host
// address that is not on the machine, where Windows refuses it, so that
// failure is left to the Linux tests.)
TEST_F(Windows, WithoutADeviceTheWindowsProgramsEndAsTheLinuxOnes) {
  for (const auto& [linux_program, windows_name] :
       {std::pair{kReader, "raw_can_reader"}, std::pair{kWriter, "raw_can_writer"}}) {
    auto linux_run = start({linux_program}, "0", "linux.out");
    const int linux_status = linux_run->wait_exit(milliseconds(5000));
    auto windows_run = start_windows(windows_name, "0", "windows.out");
    EXPECT_EQ(windows_run->wait_exit(kWineStart), linux_status) << windows_name;
    EXPECT_EQ(from_windows_lines(windows_run->output()), linux_run->output()) << windows_name;
  }
}

// Ctrl-C while start-up waits for INIT_CAN_CHIP's ack ends the program at
// once with Ctrl-C's status.
TEST_F(Windows, CtrlCDuringStartUpEndsTheProgramWithItsStatus) {
  UdpEndpoint silent_device(device_ip, 34567);
  ASSERT_TRUE(silent_device.bound());
  auto reader = start_windows("raw_can_reader", "0", "reader.out");
  ASSERT_FALSE(silent_device.receive(20000).empty());  // the library's greeting
  ASSERT_FALSE(silent_device.receive(5000).empty());   // INIT_CAN_CHIP, never acknowledged
  reader->signal(SIGINT);
  EXPECT_TRUE(exited_with(reader->wait_exit(milliseconds(5000)), kCtrlCStatus));
  EXPECT_EQ(reader->output(), "");
}

// A full disk ends the program with the Linux line and status 1; a closed
// pipe ends it quietly with status 1. Either way the device hears goodbye.
TEST_F(Windows, FailedOutputStopsTheInterfaceAndEndsByItsCause) {
  auto sim = start_sim({});
  const int full = open("/dev/full", O_WRONLY);
  auto to_full = start_windows("raw_can_reader", "1", "full.out", full);
  close(full);
  EXPECT_TRUE(exited_with(to_full->wait_exit(kWineStart), 1));
  EXPECT_EQ(from_windows_lines(to_full->errors()),
            "raw_can_reader: cannot write standard output: No space left on device\n");
  EXPECT_TRUE(sim->wait_for_output(":34570 left (goodbye)", milliseconds(2000))) << sim->output();

  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  close(pipe_ends[0]);
  auto to_closed_pipe = start_windows("raw_can_reader", "0", "pipe.out", pipe_ends[1]);
  close(pipe_ends[1]);
  EXPECT_TRUE(exited_with(to_closed_pipe->wait_exit(kWineStart), 1));
  EXPECT_EQ(to_closed_pipe->errors(), "");
  // What the device heard tells a reader that never joined from a goodbye not heard.
  EXPECT_TRUE(sim->wait_for_output(":34568 left (goodbye)", milliseconds(2000))) << sim->output();
}

}  // namespace
}  // namespace rawcan::testing
