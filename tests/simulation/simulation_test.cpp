// Seeds on which the simulation once found a fault, each run again in full.
// A seed names one run of the world as it is: a change to the simulation
// itself changes what a seed runs, so after one, the faults are found again
// (by undoing each mend) and their new seeds go here.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "world.h"

namespace zelbor::simulation {
namespace {

struct FoundFault {
  uint64_t seed;
  const char* fault;
};

const FoundFault kFoundFaults[] = {
    {18, "a device joined from a late copy waited for a batch the host no longer held"},
    {22, "repeated control records moved the stream back and were delivered again"},
    {29, "a late datagram of a device session two restarts back took the host back to it"},
    {46, "a restarted device put a late copy of a batch on the bus a second time"},
    {299, "frames were delivered out of order when reordering moved the stream back"},
    {102134061861,
     "a late HELLO of a killed run took the seat from a busy run that never said HELLO"},
};

void PrintTo(const FoundFault& found, std::ostream* out) {
  *out << "seed " << found.seed;
}

class Simulation : public ::testing::TestWithParam<FoundFault> {};

TEST_P(Simulation, SeedsThatOnceFoundAFaultStayClean) {
  const Report report = simulate(GetParam().seed);
  EXPECT_EQ(report.violation, "") << GetParam().fault << "\n" << report.trace;
  EXPECT_EQ(report.simulated_ns, kDefaultRunNs);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Simulation, ::testing::ValuesIn(kFoundFaults),
                         [](const ::testing::TestParamInfo<FoundFault>& info) {
                           return "seed" + std::to_string(info.param.seed);
                         });

}  // namespace
}  // namespace zelbor::simulation
