// A test that owns a simulated device on a loopback address of its own,
// started and waited for as a server, with its processes' files in a scratch
// folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "loopback.h"

namespace rawcan::testing {

class SimulatedDeviceTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  const uint32_t device_ip = unique_loopback_address();
  const std::string address = dotted(device_ip);

  // Each run writes a file of its own, so a restarted device keeps the first's.
  std::unique_ptr<Process> start_sim(const std::vector<std::string>& extra = {}) {
    return start_ready({ZELBOR_SIM_PATH, "--address", address}, extra,
                       scratch.file("sim" + std::to_string(sim_runs_++) + ".out"), "serving");
  }

 private:
  int sim_runs_ = 0;
};

}  // namespace rawcan::testing
