// Writes the simulated device's generated frames 0 to COUNT - 1 as a candump
// log, SPACING_US apart, so that a replay of it is checked as a listing of
// the generator's frames (listing_check). Usage: generated_log COUNT SPACING_US
#include <cstdio>
#include <cstdlib>

#include "candump.h"
#include "generated.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: generated_log COUNT SPACING_US\n");
    return 2;
  }
  const unsigned long long count = std::strtoull(argv[1], nullptr, 10);
  const long long spacing_us = std::atoll(argv[2]);
  char line[zelbor::sim::kMaxCandumpLine];
  for (unsigned long long n = 0; n < count; ++n) {
    const int64_t time_us = 1'700'000'000'000'000 + static_cast<int64_t>(n) * spacing_us;
    const std::size_t size =
        zelbor::sim::format_candump_line(time_us, 0, zelbor::sim::generated_frame(n), line);
    std::fwrite(line, 1, size, stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
