#include "simulation.h"

#include <algorithm>
#include <utility>

namespace zelbor::sim {

Simulation::Simulation(SimulationSettings settings)
    : device_(settings.channels, settings.drop, settings.seed, settings.start_ns, settings.events,
              settings.bus) {
  if (settings.generate > 0) {
    generator_.emplace(settings.generate, settings.count);
    generator_node_ = device_.add_source("generator");
  }
  if (!settings.replay.empty()) {
    replayer_.emplace(std::move(settings.replay), settings.loops);
    replay_node_ = device_.add_source("replay");
  }
}

bool Simulation::record_to(const std::string& path, int64_t realtime_offset_ns) {
  if (!recorder_.open(path, realtime_offset_ns)) {
    return false;
  }
  device_.add_bus_observer(&recorder_);
  return true;
}

void Simulation::step(int64_t now_ns, Outbox& outbox) {
  if (device_.anyone_listening()) {
    const int64_t start = device_.first_listen_ns();
    if (generator_) {
      generator_->run(start, now_ns, [&](const RawCanMessage& frame) {
        device_.offer(generator_node_, frame, now_ns);
      });
    }
    if (replayer_) {
      replayer_->run(start, now_ns, [&](const RawCanMessage& frame) {
        device_.offer(replay_node_, frame, now_ns);
      });
    }
  }
  device_.tick(now_ns, outbox);
  device_.flush(outbox);
  recorder_.flush_if_due(now_ns);
}

int64_t Simulation::next_wake_ns(int64_t now_ns) const {
  int64_t wake = std::min(now_ns + kIdleWakeNs, device_.next_bus_event_ns());
  if (device_.anyone_listening()) {
    const int64_t start = device_.first_listen_ns();
    int64_t due = INT64_MAX;
    if (generator_) {
      due = std::min(due, generator_->next_due_ns(start));
    }
    if (replayer_) {
      due = std::min(due, replayer_->next_due_ns(start));
    }
    wake = std::min(wake, std::max(due, now_ns + kSourceBatchNs));
  }
  return wake;
}

bool Simulation::finished() const {
  return (replayer_ && replayer_->finished() && device_.bus().idle()) || recorder_.failed();
}

}  // namespace zelbor::sim
