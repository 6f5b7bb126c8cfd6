#include "event_log.h"

#include "seat.h"

namespace zelbor::sim {

void EventLog::event(int channel, const sockaddr_in& host, const char* what, int64_t now_ns) {
  if (out_ == nullptr) {
    return;
  }
  Limit& limit = limits_[static_cast<std::size_t>(channel)];
  if (now_ns - limit.second_ns >= 1'000'000'000) {
    limit.second_ns = now_ns;
    limit.this_second = 0;
  }
  if (limit.this_second++ >= kEventsPerSecond) {
    ++limit.not_shown;
    return;
  }
  char endpoint[64];
  describe_endpoint(host, endpoint, sizeof endpoint);
  if (limit.not_shown != 0) {
    std::fprintf(out_, "channel %d: %llu more events not shown\n", channel,
                 static_cast<unsigned long long>(limit.not_shown));
    limit.not_shown = 0;
  }
  std::fprintf(out_, "channel %d: host %s %s\n", channel, endpoint, what);
  std::fflush(out_);
}

}  // namespace zelbor::sim
