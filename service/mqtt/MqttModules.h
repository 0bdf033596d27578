#pragma once
// What the shared connection owes each module: its discovery, its
// availability and its state, decided without the network so that the pace
// of the messages can be checked on its own. Not thread-safe: the publisher
// holds its lock around every call.
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "mqtt/MqttPublisher.h"
#include "status/SensorSnapshot.h"

namespace km7::mqtt {

struct Outgoing {
  enum class Kind { Status, Discovery, State };
  std::string topic;
  std::string payload;
  int qos = 0;
  bool retain = false;
  Kind kind = Kind::Status;
};

class ModuleTable {
 public:
  using Clock = std::chrono::steady_clock;

  void Configure(const MqttSettings& settings);
  // The module's latest state; a module seen first, or renamed, is announced.
  void State(const status::SensorSnapshot& sensor);
  void Available(const std::string& serial, bool available);
  // A new connection: everything is announced and sent again.
  void Connected(Clock::time_point now);
  // The home automation system said "online".
  void RequestDiscovery();
  // The messages to send now, in order.
  std::vector<Outgoing> Due(Clock::time_point now);
  // "offline" for every module, for a clean stop.
  std::vector<Outgoing> Goodbye() const;

 private:
  struct Module {
    std::string serial, id, name;
    std::optional<status::SensorSnapshot> latest;
    std::optional<status::SensorSnapshot> sent;
    Clock::time_point sentAt;
    bool available = true;
    bool statusDue = true;
    bool discoveryDue = true;
    bool stateForced = false;
  };
  Module& Find(const std::string& serial);
  Outgoing Discovery(const Module& m) const;

  std::string prefix_ = "km7";
  std::string discoveryPrefix_ = "homeassistant";
  std::string softwareVersion_;
  std::chrono::seconds refresh_{60};
  std::chrono::seconds window_{5};
  std::map<std::string, Module> modules_;  // by serial
  bool discoveryRequested_ = false;
  std::optional<Clock::time_point> lastRound_;
};

}  // namespace km7::mqtt
