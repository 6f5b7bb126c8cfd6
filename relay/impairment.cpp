#include "impairment.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zelbor::relay {

Impairer::Impairer(Impairments impairments, RandomSource& random, int64_t start_ns)
    : impairments_(std::move(impairments)), random_(random), start_ns_(start_ns) {}

bool Impairer::draw(double probability) {
  // No draw for a zero chance, so a seed's sequence serves only the options given.
  return probability > 0 && random_.unit() < probability;
}

bool Impairer::link_down(int64_t now_ns) const {
  if (forced_down_) {
    return true;
  }
  const int64_t since_start = now_ns - start_ns_;
  return std::any_of(impairments_.outages.begin(), impairments_.outages.end(),
                     [since_start](const Outage& outage) {
                       return since_start >= outage.start_ns &&
                              since_start - outage.start_ns < outage.length_ns;
                     });
}

std::optional<bool> Impairer::link_down_change(int64_t now_ns) {
  const bool down = link_down(now_ns);
  if (down == reported_down_) {
    return std::nullopt;
  }
  reported_down_ = down;
  return down;
}

bool Impairer::has_room(std::size_t copies, std::size_t bytes) const {
  return queued_count_ + copies <= impairments_.queue_capacity &&
         queued_bytes_ + bytes <= impairments_.queue_byte_capacity;
}

void Impairer::offer(Datagram datagram, int64_t now_ns) {
  DirectionTotals& totals = totals_for(datagram.route.direction);
  if (link_down(now_ns)) {
    ++totals.lost_in_outage;
    return;
  }
  if (draw(impairments_.loss[static_cast<int>(datagram.route.direction)])) {
    ++totals.lost;
    return;
  }
  int copies = 1;
  if (draw(impairments_.duplicate)) {
    copies = 2;
    ++totals.duplicated;
  }
  const auto held = held_.find(datagram.route);
  if (held != held_.end()) {
    Held earlier = std::move(held->second);
    held_.erase(held);
    queued_count_ -= static_cast<std::size_t>(earlier.copies);
    queued_bytes_ -= earlier.datagram.bytes.size() * static_cast<std::size_t>(earlier.copies);
    enqueue(std::move(datagram), copies, now_ns);
    enqueue(std::move(earlier.datagram), earlier.copies, now_ns);
    ++totals.reordered;
    return;
  }
  if (draw(impairments_.reorder)) {
    const std::size_t size = datagram.bytes.size() * static_cast<std::size_t>(copies);
    if (!has_room(static_cast<std::size_t>(copies), size)) {
      totals.overflowed += static_cast<uint64_t>(copies);
      return;
    }
    queued_count_ += static_cast<std::size_t>(copies);
    queued_bytes_ += size;
    const Route route = datagram.route;
    held_.emplace(route, Held{std::move(datagram), copies, now_ns + kReorderHoldNs});
    return;
  }
  enqueue(std::move(datagram), copies, now_ns);
}

void Impairer::enqueue(Datagram datagram, int copies, int64_t now_ns) {
  for (int copy = 0; copy < copies; ++copy) {
    if (!has_room(1, datagram.bytes.size())) {
      ++totals_for(datagram.route.direction).overflowed;
      continue;
    }
    int64_t due_ns = now_ns + impairments_.delay_ns;
    if (impairments_.jitter_ns > 0) {
      const double spread = (2 * random_.unit() - 1) * static_cast<double>(impairments_.jitter_ns);
      due_ns = std::max<int64_t>(now_ns, due_ns + std::llround(spread));
    }
    queued_count_ += 1;
    queued_bytes_ += datagram.bytes.size();
    const auto key = std::make_pair(due_ns, next_sequence_++);
    if (copy + 1 < copies) {
      queue_.emplace(key, datagram);
    } else {
      queue_.emplace(key, std::move(datagram));
    }
  }
}

void Impairer::take_due(int64_t now_ns, std::vector<Datagram>& out) {
  for (auto held = held_.begin(); held != held_.end();) {
    if (held->second.deadline_ns > now_ns) {
      ++held;
      continue;
    }
    Held alone = std::move(held->second);
    held = held_.erase(held);
    queued_count_ -= static_cast<std::size_t>(alone.copies);
    queued_bytes_ -= alone.datagram.bytes.size() * static_cast<std::size_t>(alone.copies);
    enqueue(std::move(alone.datagram), alone.copies, alone.deadline_ns);
  }
  const bool down = link_down(now_ns);
  while (!queue_.empty() && queue_.begin()->first.first <= now_ns) {
    Datagram datagram = std::move(queue_.extract(queue_.begin()).mapped());
    queued_count_ -= 1;
    queued_bytes_ -= datagram.bytes.size();
    if (down) {
      ++totals_for(datagram.route.direction).lost_in_outage;  // in flight when the link fell
      continue;
    }
    out.push_back(std::move(datagram));
  }
}

int64_t Impairer::next_event_ns(int64_t now_ns) const {
  int64_t next = std::numeric_limits<int64_t>::max();
  if (!queue_.empty()) {
    next = queue_.begin()->first.first;
  }
  for (const auto& [route, held] : held_) {
    next = std::min(next, held.deadline_ns);
  }
  for (const Outage& outage : impairments_.outages) {
    for (const int64_t edge :
         {start_ns_ + outage.start_ns, start_ns_ + outage.start_ns + outage.length_ns}) {
      if (edge > now_ns) {
        next = std::min(next, edge);
      }
    }
  }
  return next;
}

void Impairer::record_send(Direction direction, bool sent) {
  DirectionTotals& totals = totals_for(direction);
  ++(sent ? totals.forwarded : totals.send_failed);
}

uint64_t Impairer::discard_pending() {
  const uint64_t pending = queued_count_;
  queue_.clear();
  held_.clear();
  queued_count_ = 0;
  queued_bytes_ = 0;
  return pending;
}

}  // namespace zelbor::relay
