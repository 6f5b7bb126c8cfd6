#include "simulation.h"

#include <algorithm>
#include <utility>

namespace zelbor::sim {

Simulation::Simulation(SimulationSettings settings)
    : time_ns_(settings.start_ns),
      device_(settings.channels, settings.faults, settings.seed, settings.start_ns, settings.events,
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

void Simulation::catch_up(int64_t until_ns, Outbox& outbox) {
  while (device_.anyone_listening() && budget_ > 0) {
    const int64_t start = device_.first_listen_ns();
    const int64_t generated = generator_ ? generator_->next_due_ns(start) : INT64_MAX;
    const int64_t replayed = replayer_ ? replayer_->next_due_ns(start) : INT64_MAX;
    const int64_t due = std::min(generated, replayed);
    if (due > until_ns) {
      break;
    }
    // Only frames left over by an exhausted budget come after their time.
    late_ += due < time_ns_ ? 1 : 0;
    time_ns_ = std::max(due, time_ns_);
    device_.run_bus(time_ns_, outbox);
    device_.offer(generated <= replayed ? generator_node_ : replay_node_,
                  generated <= replayed ? generator_->take() : replayer_->take(), time_ns_);
    --budget_;
  }
  time_ns_ = std::max(time_ns_, until_ns);
  device_.advance(time_ns_, outbox);
}

void Simulation::handle(int channel, const sockaddr_in& from, const uint8_t* bytes,
                        std::size_t size, int64_t arrival_ns, Outbox& outbox) {
  catch_up(arrival_ns, outbox);
  device_.handle(channel, from, bytes, size, time_ns_, outbox);
}

void Simulation::step(int64_t now_ns, Outbox& outbox) {
  catch_up(now_ns, outbox);
  budget_ = kSourceBudget;
  device_.tick(time_ns_, outbox);
  device_.flush(outbox);
  recorder_.flush_if_due(time_ns_);
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
