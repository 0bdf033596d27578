#pragma once
// One module's connection to the MQTT broker (libmosquitto): availability
// with a retained Will, discovery, state after every reading. Its own network
// thread connects, reconnects with a growing pause and sends; PublishState
// only hands the message over and never waits on the network.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "mqtt/MqttUrl.h"
#include "status/SensorSnapshot.h"

namespace km7::mqtt {

struct MqttSettings {
  BrokerUrl broker;
  std::filesystem::path cafile;        // mqtts: empty trusts the system's store
  std::string user;                    // empty: no user name
  std::filesystem::path passwordFile;  // its first line is the password
  std::string prefix = "km7";
  double readingIntervalSeconds = 1.0;
  std::string softwareVersion;
  // Pauses between connection attempts grow from the first to the last.
  unsigned reconnectMinSeconds = 1;
  unsigned reconnectMaxSeconds = 60;
  // Messages for the user (connection lost, password refused, ...), called on
  // the network thread; each distinct trouble is told once until it clears.
  std::function<void(const std::string&)> report;
};

enum class Connection { Stopped, Connecting, Connected, Refused };

class MqttPublisher {
 public:
  MqttPublisher(MqttSettings settings, std::string sensorName, std::string serial);
  ~MqttPublisher();  // Stop()
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Checks the settings, reads the password file and starts the network
  // thread. False with a message in `error` when the settings are unusable;
  // an unreachable broker is not an error here (it is retried).
  bool Start(std::string& error);
  // Publishes the state; kept and sent on the next connection when the broker
  // is not reachable now. Never blocks on the network.
  void PublishState(const status::SensorSnapshot& sensor);
  // Publishes "offline", disconnects and joins the network thread (bounded).
  void Stop();

  Connection connection() const;
  // The last trouble (e.g. the broker refused the password); empty when none.
  std::string LastError() const;
  std::string id() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;  // shared with the network thread
  std::thread thread_;
};

}  // namespace km7::mqtt
