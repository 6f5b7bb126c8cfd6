// Replaying a candump log through the simulated device into the reader and
// into the device's own recording.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bus.h"
#include "candump.h"
#include "child_process.h"
#include "listing.h"
#include "loopback.h"
#include "sim_fixture.h"

namespace rawcan::testing {
namespace {

using std::chrono::milliseconds;

const std::string kReader = RAW_CAN_READER_PATH;
const std::string kSim = ZELBOR_SIM_PATH;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

class Replay : public ProcessTest {
 protected:
  std::vector<RawCanMessage> frames;  // what the log holds, in order

  std::string write_log() {
    std::ostringstream log;
    log << "# captured on the bench\n\n";
    for (int i = 0; i < 20; ++i) {
      const bool extended = i % 3 == 2;
      RawCanMessage frame{};
      frame.id = extended ? (RAW_CAN_EXTENDED_FLAG | (0x1ABC0000u + i)) : 0x100u + i;
      frame.length = static_cast<int8_t>(i % 9);
      char frame_text[64];
      int used = std::snprintf(frame_text, sizeof frame_text, extended ? "%08X#" : "%03X#",
                               frame.id & ~RAW_CAN_EXTENDED_FLAG);
      for (int b = 0; b < frame.length; ++b) {
        frame.data[b] = static_cast<uint8_t>(0xA0 + i + b);
        used += std::snprintf(frame_text + used, sizeof frame_text - used, "%02X", frame.data[b]);
      }
      log << "(1436509052." << 100000 + 5000 * i << ") can0 " << frame_text << "\n";
      frames.push_back(frame);
      if (i == 4) {
        log << "(1436509052.120001) can0 123#R\n";
      }
      if (i == 9) {
        log << "(1436509052.145001) can0 123##1DEADBEEF\n";
      }
      if (i == 14) {
        log << "(1436509052.170001) can0 123#XYZ\n";  // line 20 of the file
      }
    }
    const std::string path = scratch.file("capture.log");
    std::ofstream(path) << log.str();
    return path;
  }
};

TEST_F(Replay, EveryFrameOfTheLogReachesTheReaderAndTheRecordingInOrder) {
  const std::string log = write_log();
  const std::string recording = scratch.file("recording.log");
  auto sim = start_sim({"--replay", log, "--loop", "2", "--record", recording});
  // The reader starts after the device and still misses nothing.
  auto reader = start({kReader}, "1", "reader.out");
  EXPECT_TRUE(exited_with(sim->wait_exit(milliseconds(10000)), 0)) << sim->output();
  ASSERT_TRUE(reader->wait_for_lines(1 + 2 * frames.size(), milliseconds(5000)));
  reader->signal(SIGINT);
  reader->wait_exit(milliseconds(2000));

  EXPECT_NE(
      sim->output().find("replay: 20 frames from " + log +
                         " (skipped 1 remote-request, 1 CAN FD, 0 error-frame, 1 malformed lines)"),
      std::string::npos)
      << sim->output();
  EXPECT_NE(sim->output().find("replayed 40 frames"), std::string::npos);
  EXPECT_EQ(sim->errors(), "zelbor_sim: " + log + ":20: malformed line skipped\n");

  const std::vector<ListedFrame> listed = parse_listing(reader->output());
  ASSERT_EQ(listed.size(), 2 * frames.size()) << reader->output();
  const std::vector<std::string> recorded = lines_of(read_file(recording));
  ASSERT_EQ(recorded.size(), 2 * frames.size());
  for (std::size_t i = 0; i < 2 * frames.size(); ++i) {
    const RawCanMessage& frame = frames[i % frames.size()];
    EXPECT_TRUE(same_frame(listed[i], frame)) << i;
    zelbor::sim::LogEntry entry{};
    ASSERT_EQ(zelbor::sim::parse_candump_line(recorded[i], entry), zelbor::sim::LogLine::kFrame)
        << recorded[i];
    EXPECT_NE(recorded[i].find(" zelbor0 "), std::string::npos);
    EXPECT_EQ(entry.frame.id, frame.id) << i;
    EXPECT_EQ(entry.frame.length, frame.length) << i;
    EXPECT_EQ(0, std::memcmp(entry.frame.data, frame.data, static_cast<std::size_t>(frame.length)));
  }
}

TEST_F(Replay, AMissingLogIsAClearError) {
  Process sim({kSim, "--address", address, "--replay", scratch.file("absent.log")},
              scratch.file("sim.out"));
  EXPECT_TRUE(exited_with(sim.wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(sim.errors(), "zelbor_sim: cannot read " + scratch.file("absent.log") +
                              ": No such file or directory\n");
}

// A log with nothing to play ends the device instead of waiting for a host;
// its malformed lines are named up to a few, then counted.
TEST_F(Replay, ALogWithoutFramesEndsTheDeviceAndItsMalformedLinesAreSummarised) {
  const std::string log = scratch.file("binary.log");
  std::ofstream(log) << std::string(3000, '\x01') << "\n(1.0) can0 123#R\n"
                     << "garbage\n\x7f"
                        "ELF\n\n\n(1.0) can0 123#XY\n(2.0)\n"
                     << std::string("(1.0) can0 123#\0\n", 17) << "(3.0) can0 9999#00";
  Process sim({kSim, "--address", address, "--replay", log}, scratch.file("sim.out"));
  EXPECT_TRUE(exited_with(sim.wait_exit(milliseconds(5000)), 1));
  std::string expected;
  for (const int line : {1, 3, 4, 7, 8}) {
    expected += "zelbor_sim: " + log + ":" + std::to_string(line) + ": malformed line skipped\n";
  }
  expected += "zelbor_sim: " + log + ": 2 more malformed lines skipped\n";
  expected += "zelbor_sim: " + log + " has no frames to play\n";
  EXPECT_EQ(sim.errors(), expected);
}

TEST_F(Replay, AFailedRecordingEndsTheDeviceWithTheReason) {
  auto sim = start_sim({"--generate", "100000", "--record", "/dev/full"});
  auto reader = start({kReader}, "1", "reader.out");
  EXPECT_TRUE(exited_with(sim->wait_exit(milliseconds(5000)), 1));
  EXPECT_EQ(sim->errors(), "zelbor_sim: cannot write /dev/full: No space left on device\n");
}

// On a timed bus the recording keeps the bus's spacing: a writer faster than
// its bus keeps its queue full, so each frame follows the one before back to
// back and is recorded its own length later. The frames checked pass once
// the queue holds most of a second of the bus, so no pause of a busy
// machine's writer can empty it.
using Recording = ProcessTest;

TEST_F(Recording, KeepsTheSpacingOfFramesOnATimedBus) {
  constexpr std::size_t kFirst = 1000, kChecked = 200;
  const std::string recording = scratch.file("recording.log");
  auto sim = start_sim({"--bitrate", "125000", "--tx-queue", "1000", "--record", recording});
  auto writer = start({RAW_CAN_WRITER_PATH}, "0", "writer.out");
  ASSERT_TRUE(wait_until([&] { return count_lines(read_file(recording)) >= kFirst + kChecked; },
                         milliseconds(20000)));
  writer->signal(SIGINT);
  writer->wait_exit(milliseconds(5000));
  sim->signal(SIGINT);
  ASSERT_TRUE(exited_with(sim->wait_exit(milliseconds(5000)), 0));

  const std::vector<std::string> lines = lines_of(read_file(recording));
  ASSERT_GE(lines.size(), kFirst + kChecked);
  zelbor::sim::LogEntry previous{};
  ASSERT_EQ(zelbor::sim::parse_candump_line(lines[kFirst - 1], previous),
            zelbor::sim::LogLine::kFrame);
  for (std::size_t i = kFirst; i < kFirst + kChecked; ++i) {
    zelbor::sim::LogEntry entry{};
    ASSERT_EQ(zelbor::sim::parse_candump_line(lines[i], entry), zelbor::sim::LogLine::kFrame);
    EXPECT_EQ(entry.time_us - previous.time_us, zelbor::sim::frame_bits(entry.frame) * 8)
        << lines[i - 1] << " then " << lines[i];  // 8 us a bit
    previous = entry;
  }
  EXPECT_NE(writer->output().find(" Messages\n"), std::string::npos)
      << "the writer hears that its bus carries less";
}

}  // namespace
}  // namespace rawcan::testing
