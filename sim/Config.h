// Configuration of the simulated modules: which modules are attached, their
// values and the faults they show. See README.md for the file format.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace km7sim {

// The listing buffers of the driver interface hold 64 bytes, terminator included.
constexpr unsigned kListingBufferSize = 64;

struct ModuleConfig {
  std::string description = "ORV-KM7 Sensor";
  std::string serial;  // empty: filled in by position
  bool inUse = false;
  double temperature = 22.5;                  // degrees C
  std::optional<uint16_t> rawTemperature;     // overrides temperature
  double humidity = 45.0;                     // percent RH
  std::optional<uint16_t> rawHumidity;        // overrides humidity
  double drift = 0.0;                         // sine amplitude, per reading
  unsigned temperatureMs = 80;
  unsigned humidityMs = 30;
  unsigned resetMs = 11;
  unsigned corruptCrcEvery = 0;               // 0 = never
  unsigned unplugAfter = 0;                   // 0 = never
  bool bitbangFails = false;
  bool sensorPresent = true;                  // false: a bridge with no sensor behind it
  bool present = true;                        // false: not plugged in
};

struct Config {
  std::string source;              // file name, empty for the default module
  unsigned descriptionLimit = 64;  // bytes of configuration memory, terminator included
  std::vector<ModuleConfig> modules;
};

// One module with room values and a slow drift: used without a configuration file.
Config DefaultConfig();

// Parses the text of a configuration file. Problems are reported, one line
// each, to `err` and the offending line is ignored.
Config ParseConfig(std::istream& in, const std::string& sourceName, std::ostream& err);

// Reads the file named by KM7_SIM_CONFIG, or returns DefaultConfig().
Config LoadConfig(std::ostream& err);

// The file named by KM7_SIM_CONFIG; empty without one.
std::string ConfigPath();

// What tells a rewritten configuration file from the one read last.
struct FileStamp {
  bool exists = false;
  long long mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0, size = 0;
  unsigned long long inode = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

}  // namespace km7sim
