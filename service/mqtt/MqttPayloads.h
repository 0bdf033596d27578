#pragma once
// Topics and JSON payloads the service publishes: the state of each module,
// its availability and the device discovery of the home automation system.
#include <string>
#include <string_view>

#include "status/SensorSnapshot.h"

namespace km7::mqtt {

inline constexpr const char* kDefaultPrefix = "km7";
inline constexpr const char* kDefaultDiscoveryPrefix = "homeassistant";
inline constexpr const char* kOnline = "online";
inline constexpr const char* kOffline = "offline";

// The serial number as a topic level and id: letters, digits and '-' stay,
// every other byte becomes "_" and two hex digits, so two serials never get
// the same id. An empty serial is "_".
std::string TopicId(std::string_view serial);

// A topic prefix must be non-empty and hold no wildcard, NUL or empty level,
// and may not start with '$' (the broker's own topics).
bool ValidPrefix(std::string_view prefix, std::string& error);

std::string StateTopic(std::string_view prefix, std::string_view id);
std::string StatusTopic(std::string_view prefix, std::string_view id);
// The service's own availability, its Will: "<prefix>/status".
std::string ServiceStatusTopic(std::string_view prefix);
std::string DiscoveryTopic(std::string_view discoveryPrefix, std::string_view id);
// Where the home automation system says "online" when it (re)starts.
std::string DiscoveryStatusTopic(std::string_view discoveryPrefix);

// The sensor's resolution, 0.01: values are published rounded to it.
inline constexpr double kResolution = 0.01;
double RoundToResolution(double value);

// {"sensor":..., "serial":..., "up":..., "temperature":..., "humidity":...,
//  "dew_point":..., "last_good_reading":..., "crc_errors":..., ...}; the values
// are rounded to the resolution, null when the sensor is not up.
std::string StateJson(const status::SensorSnapshot& sensor);

struct DiscoveryInfo {
  std::string prefix = kDefaultPrefix;
  std::string id;
  std::string name;    // the sensor's name
  std::string serial;
  // A state message goes out at least this often.
  double stateRefreshSeconds = 60;
  std::string softwareVersion;
};

// A value is marked stale after this many seconds without a state message:
// one and a half refresh periods, never less than 10 s.
int ExpireAfterSeconds(double stateRefreshSeconds);

// The device with its temperature, humidity and dew point sensors, the
// origin and the availability topics: the service's and the module's, both
// of which must say "online".
std::string DiscoveryJson(const DiscoveryInfo& info);

}  // namespace km7::mqtt
