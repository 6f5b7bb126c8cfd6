// The simulated device's account of its hosts, a line an event
// ("channel 0: host 127.0.0.1:34568 joined"). At most kEventsPerSecond lines
// a second and channel, so no stream of datagrams floods the output; the rest
// are counted in the next line shown.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace zelbor::sim {

inline constexpr int kEventsPerSecond = 20;

class EventLog {
 public:
  // Writes nothing if `out` is null.
  EventLog(std::FILE* out, int channels) : out_(out), limits_(static_cast<std::size_t>(channels)) {}

  void event(int channel, const sockaddr_in& host, const char* what, int64_t now_ns);

 private:
  struct Limit {
    int64_t second_ns = INT64_MIN / 2;
    int this_second = 0;
    uint64_t not_shown = 0;
  };
  std::FILE* out_;
  std::vector<Limit> limits_;
};

}  // namespace zelbor::sim
