#pragma once
// Topics and JSON payloads the service publishes: the state of a module after
// every reading and the device discovery of the home automation system.
#include <string>
#include <string_view>

#include "status/SensorSnapshot.h"

namespace km7::mqtt {

inline constexpr const char* kDefaultPrefix = "km7";
inline constexpr const char* kDiscoveryPrefix = "homeassistant";
inline constexpr const char* kDiscoveryStatusTopic = "homeassistant/status";
inline constexpr const char* kOnline = "online";
inline constexpr const char* kOffline = "offline";

// The serial number cut to [a-zA-Z0-9_-]; a serial with none of those
// becomes its bytes in hex, an empty one "unknown".
std::string TopicId(std::string_view serial);

// A topic prefix must be non-empty and hold no wildcard, NUL or empty level.
bool ValidPrefix(std::string_view prefix, std::string& error);

std::string StateTopic(std::string_view prefix, std::string_view id);
std::string StatusTopic(std::string_view prefix, std::string_view id);
std::string DiscoveryTopic(std::string_view id);

// {"sensor":..., "serial":..., "up":..., "temperature":..., "humidity":...,
//  "dew_point":..., "last_good_reading":..., "crc_errors":..., ...}; the values
// are null when the sensor is not up.
std::string StateJson(const status::SensorSnapshot& sensor);

struct DiscoveryInfo {
  std::string prefix = kDefaultPrefix;
  std::string id;
  std::string name;    // the sensor's name
  std::string serial;
  double readingIntervalSeconds = 1.0;
  std::string softwareVersion;
};

// A value is marked stale after this many seconds without a state message:
// three reading intervals, never less than 10 s.
int ExpireAfterSeconds(double readingIntervalSeconds);

// The device with its temperature, humidity and dew point sensors, the
// origin and the availability topic.
std::string DiscoveryJson(const DiscoveryInfo& info);

}  // namespace km7::mqtt
