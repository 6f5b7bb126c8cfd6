#include "playout.h"

#include <charconv>

namespace rawcan::bridge {

int64_t Playout::due_ns(const ZelborHostFrame& front) {
  if (!delay_ns_) {
    return INT64_MIN;
  }
  if (!front_due_ns_) {
    front_due_ns_ = clock_.stamp(front, 0) + *delay_ns_;
    front_late_ = front.at_ns > *front_due_ns_;
  }
  return *front_due_ns_;
}

std::optional<Playout> parse_timing(std::string_view mode) {
  if (mode == "host") {
    return Playout();
  }
  if (mode == "bus") {
    return Playout(kDefaultPlayoutDelayNs);
  }
  constexpr std::string_view kBusWith = "bus=";
  if (!mode.starts_with(kBusWith) || mode.size() == kBusWith.size()) {
    return std::nullopt;
  }
  const char* digits = mode.data() + kBusWith.size();
  const char* end = mode.data() + mode.size();
  int64_t delay_ms = -1;
  const auto [stop, error] = std::from_chars(digits, end, delay_ms);
  if (error != std::errc() || stop != end || *digits == '+' || delay_ms < 1 ||
      delay_ms > kLongestPlayoutDelayNs / 1'000'000) {
    return std::nullopt;
  }
  return Playout(delay_ms * 1'000'000);
}

}  // namespace rawcan::bridge
