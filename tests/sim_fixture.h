// A test of the programs as processes: a device address of its own on
// loopback, for the simulated device or for the test playing the device, and
// the simulated device, the relay and the programs started with their files
// in a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"

namespace rawcan::testing {

class ProcessTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  const uint32_t device_ip = unique_loopback_address();
  const std::string address = dotted(device_ip);

  // The simulated device on `address`, waited for until it serves. Each run
  // writes a file of its own, so a restarted device keeps the first's.
  std::unique_ptr<Process> start_sim(const std::vector<std::string>& extra = {}) {
    return start_ready({ZELBOR_SIM_PATH, "--address", address}, extra,
                       scratch.file("sim" + std::to_string(sim_runs_++) + ".out"), "serving");
  }

  // A relay from `listen` to `address`, waited for until it relays.
  std::unique_ptr<Process> start_relay(const std::string& listen,
                                       const std::vector<std::string>& extra = {}) {
    return start_ready({ZELBOR_RELAY_PATH, "--listen", listen, "--device", address}, extra,
                       scratch.file("relay.out"), "relaying");
  }

  // `program` (the reader or the writer, or a command that runs one) on
  // `channel` from `host` to the device at `device`, its output in the file
  // `output` or, if given, on `stdout_fd`.
  std::unique_ptr<Process> start(std::vector<std::string> program, const std::string& host,
                                 const std::string& device, const std::string& channel,
                                 const std::string& output, int stdout_fd = -1) {
    program.insert(program.end(), {host, device, channel});
    return std::make_unique<Process>(program, scratch.file(output), stdout_fd);
  }
  // The same from this test's device address to itself.
  std::unique_ptr<Process> start(const std::vector<std::string>& program,
                                 const std::string& channel, const std::string& output,
                                 int stdout_fd = -1) {
    return start(program, address, address, channel, output, stdout_fd);
  }

 private:
  int sim_runs_ = 0;
};

}  // namespace rawcan::testing
