#pragma once
// What km7d takes from the per-sensor settings that the desktop program
// stores in km7.INI: the data log and the alarms. Read when a module is
// opened and again on SIGHUP.
#include <string>

namespace km7d {

struct SensorSettings {
  // Logging is one switch for every module; the file and the interval are
  // each sensor's own.
  bool logging = false;
  std::string logFilePath;  // Windows-1252
  int loggingInterval = 1;  // a row every this many new seconds
  bool HasLogFile() const;
};

// Reads them from the program-wide store (ProfileStore::Instance), which the
// alarm mail reads too; --settings points that at another file.
class SensorSettingsSource {
 public:
  SensorSettings Read(const std::string& sensorName) const;
};

}  // namespace km7d
