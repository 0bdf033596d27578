#include "km7d/SensorSettings.h"

#include "settings/ProfileStore.h"

namespace km7d {

bool SensorSettings::HasLogFile() const {
  // The store's default for a sensor without a log file is one blank.
  return logFilePath.find_first_not_of(' ') != std::string::npos;
}

SensorSettings SensorSettingsSource::Read(const std::string& name) const {
  namespace profile = km7::profile;
  const ProfileStore& store = ProfileStore::Instance();
  SensorSettings s;
  s.logging = store.ReadInt(profile::Logging, profile::kFixedSuffix) != 0;
  s.logFilePath = store.ReadText(profile::LogFilePath, name);
  s.loggingInterval = store.ReadInt(profile::LoggingInterval, name);
  if (s.loggingInterval < 1) s.loggingInterval = 1;
  return s;
}

}  // namespace km7d
