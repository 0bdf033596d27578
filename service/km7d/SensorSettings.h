#pragma once
// What km7d takes from the per-sensor settings that the desktop program
// stores in km7.INI: the data log and the alarms. Read when a module is
// opened and again on SIGHUP.
#include <memory>
#include <string>

class ProfileStore;

namespace km7d {

struct SensorSettings {
  // Logging is one switch for every module; the file and the interval are
  // each sensor's own.
  bool logging = false;
  std::string logFilePath;  // Windows-1252
  int loggingInterval = 1;  // a row every this many new seconds
  bool HasLogFile() const;
};

class SensorSettingsSource {
 public:
  // iniPath empty: the desktop program's km7.INI.
  explicit SensorSettingsSource(const std::string& iniPath);
  ~SensorSettingsSource();
  SensorSettings Read(const std::string& sensorName) const;
  ProfileStore& Store() { return *store_; }
  const std::string& FilePath() const;

 private:
  std::unique_ptr<ProfileStore> store_;
};

}  // namespace km7d
