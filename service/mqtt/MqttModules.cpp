#include "mqtt/MqttModules.h"

#include "mqtt/MqttPayloads.h"
#include "mqtt/StatePacing.h"

namespace km7::mqtt {

void ModuleTable::Configure(const MqttSettings& s) {
  prefix_ = s.prefix;
  discoveryPrefix_ = s.discoveryPrefix;
  softwareVersion_ = s.softwareVersion;
  refresh_ = std::chrono::seconds(std::max(1u, s.stateRefreshSeconds));
  window_ = std::chrono::seconds(s.discoveryWindowSeconds);
}

ModuleTable::Module& ModuleTable::Find(const std::string& serial) {
  auto [it, added] = modules_.try_emplace(serial);
  if (added) {
    it->second.serial = serial;
    it->second.id = TopicId(serial);
  }
  return it->second;
}

void ModuleTable::State(const status::SensorSnapshot& sensor) {
  Module& m = Find(sensor.serial);
  if (m.name != sensor.name) {
    m.name = sensor.name;
    m.discoveryDue = true;
  }
  m.latest = sensor;
}

void ModuleTable::Available(const std::string& serial, bool available) {
  Module& m = Find(serial);
  if (m.available == available) return;
  m.available = available;
  m.statusDue = true;
}

void ModuleTable::Connected(Clock::time_point now) {
  for (auto& [serial, m] : modules_) m.statusDue = m.discoveryDue = m.stateForced = true;
  // Announcing everything counts as a round of discovery.
  discoveryRequested_ = false;
  lastRound_ = now;
}

void ModuleTable::RequestDiscovery() { discoveryRequested_ = true; }

Outgoing ModuleTable::Discovery(const Module& m) const {
  DiscoveryInfo info;
  info.prefix = prefix_;
  info.id = m.id;
  info.name = m.name;
  info.serial = m.serial;
  info.stateRefreshSeconds = static_cast<double>(refresh_.count());
  info.softwareVersion = softwareVersion_;
  return {DiscoveryTopic(discoveryPrefix_, m.id), DiscoveryJson(info), 0, false, Outgoing::Kind::Discovery};
}

std::vector<Outgoing> ModuleTable::Due(Clock::time_point now) {
  // However often "online" comes, one round of discovery per window; one
  // that comes during a window is answered at its end.
  if (discoveryRequested_ && (!lastRound_ || now - *lastRound_ >= window_)) {
    discoveryRequested_ = false;
    lastRound_ = now;
    for (auto& [serial, m] : modules_) m.discoveryDue = m.stateForced = true;
  }
  std::vector<Outgoing> out;
  for (auto& [serial, m] : modules_) {
    // Announced once its name is known, with its first state.
    if (m.discoveryDue && m.latest) {
      out.push_back(Discovery(m));
      m.discoveryDue = false;
    }
    if (m.statusDue) {
      out.push_back({StatusTopic(prefix_, m.id), m.available ? kOnline : kOffline, 1, true, Outgoing::Kind::Status});
      m.statusDue = false;
    }
    if (!m.latest) continue;
    // A lost module's last state is not repeated: it is offline.
    const std::chrono::milliseconds refresh = m.available ? refresh_ : std::chrono::hours(24 * 365);
    if (m.stateForced || StateDue(m.sent, m.sentAt, *m.latest, now, refresh)) {
      out.push_back({StateTopic(prefix_, m.id), StateJson(*m.latest), 0, false, Outgoing::Kind::State});
      m.sent = m.latest;
      m.sentAt = now;
      m.stateForced = false;
    }
  }
  return out;
}

std::vector<Outgoing> ModuleTable::Goodbye() const {
  std::vector<Outgoing> out;
  for (const auto& [serial, m] : modules_)
    out.push_back({StatusTopic(prefix_, m.id), kOffline, 1, true, Outgoing::Kind::Status});
  return out;
}

}  // namespace km7::mqtt
