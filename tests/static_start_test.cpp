// A link started while the program's own statics are being built (a static
// build, where this file's initializers may run before the library's). The
// link must run on the system's socket and clock then as at any other time.
#include <cstdio>
#include <memory>

#include "link.h"

namespace {

int started_early = -1;

struct StartsEarly {
  StartsEarly() {
    auto state = std::make_unique<InterfaceState>();
    constexpr uint32_t kOwnAddress = 0x7F005601;  // 127.0.86.1, which no other test uses
    started_early = zelbor::link_start(state.get(), kOwnAddress, kOwnAddress, 34568, 34567, 0);
    zelbor::link_stop(state.get());
  }
} starts_early;

}  // namespace

int main() {
  if (started_early != 0) {
    std::printf("link_start during static initialization returned %d\n", started_early);
    return 1;
  }
  return 0;
}
