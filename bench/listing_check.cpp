// Checks a reader's listing of the simulated device's generated frames: every
// frame listed exactly once and in order, nothing else. The times are not
// compared. Usage: listing_check LISTING [EXPECTED_COUNT]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "frame_line.h"
#include "generated.h"
#include "listing.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: listing_check LISTING [EXPECTED_COUNT]\n");
    return 2;
  }
  std::ifstream in(argv[1]);
  const long long expected = argc > 2 ? std::atoll(argv[2]) : -1;
  std::string line;
  if (!std::getline(in, line) || line.rfind("Start reading CAN messages on channel", 0) != 0) {
    std::printf("listing does not start with the start line\n");
    return 1;
  }
  unsigned long long listed = 0;
  char buffer[rawcan::kMaxFrameLineLength];
  rawcan::testing::ListedFrame got{};
  while (std::getline(in, line)) {
    const RawCanMessage frame = zelbor::sim::generated_frame(listed);
    if (!rawcan::testing::parse_frame_line(line, got) || !rawcan::testing::same_frame(got, frame)) {
      const std::size_t size = rawcan::format_frame_line(frame, buffer);
      std::printf("line %llu is not frame %llu:\n  got      %s\n  expected %.*s\n", listed + 2,
                  listed, line.c_str(), static_cast<int>(size - 1), buffer);
      return 1;
    }
    ++listed;
  }
  if (expected >= 0 && listed != static_cast<unsigned long long>(expected)) {
    std::printf("listed %llu of %lld frames\n", listed, expected);
    return 1;
  }
  std::printf("listed %llu frames, each once, in order\n", listed);
  return 0;
}
