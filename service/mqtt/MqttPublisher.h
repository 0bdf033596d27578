#pragma once
// The service's one connection to the MQTT broker (libmosquitto), shared by
// every module: the service's availability with a retained Will, each
// module's availability, discovery and state. Its own network thread
// connects, reconnects with a growing pause and sends; the calls below only
// hand things over and never wait on the network.
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
  std::string discoveryPrefix = "homeassistant";
  // A steady state is sent again this often; changes go out at once.
  unsigned stateRefreshSeconds = 60;
  // Discovery goes out at most once in this many seconds however often the
  // home automation system says "online".
  unsigned discoveryWindowSeconds = 5;
  // The broker is asked not to send larger packets (MQTT 5); the only
  // messages the service takes are a few bytes long.
  std::uint32_t maxIncomingPacketBytes = 64 * 1024;
  std::string softwareVersion;
  // Pauses between connection attempts grow from the first to the last.
  unsigned reconnectMinSeconds = 1;
  unsigned reconnectMaxSeconds = 60;
  // Messages for the user (connection lost, password refused, ...), called on
  // the network thread, and from Start for warnings about the settings; each
  // distinct trouble is told once until it clears.
  std::function<void(const std::string&)> report;
};

enum class Connection { Stopped, Connecting, Connected, Refused };

class MqttPublisher {
 public:
  explicit MqttPublisher(MqttSettings settings);
  ~MqttPublisher();  // Stop()
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Checks the settings, reads the password file and starts the network
  // thread. False with a message in `error` when the settings are unusable;
  // an unreachable broker is not an error here (it is retried).
  bool Start(std::string& error);
  // The module's latest state; the module (by its serial) is announced on
  // first sight. Sent when it changed, else at least every refresh period;
  // kept for the next connection when the broker is not reachable now.
  void PublishState(const status::SensorSnapshot& sensor);
  // The module is watched (true) or lost (false).
  void SetAvailable(const std::string& serial, bool available);
  // Publishes "offline" for the service and its modules, disconnects and
  // joins the network thread (bounded).
  void Stop();

  Connection connection() const;
  // The last trouble (e.g. the broker refused the password); empty when none.
  std::string LastError() const;
  // Messages sent so far: discovery and state (for tests and benchmarks).
  std::uint64_t DiscoveriesSent() const;
  std::uint64_t StatesSent() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;  // shared with the network thread
  std::thread thread_;
};

}  // namespace km7::mqtt
