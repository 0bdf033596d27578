#include "km7d/SensorSettings.h"

#include "settings/ProfileStore.h"

namespace km7d {

bool SensorSettings::HasLogFile() const {
  // The store's default for a sensor without a log file is one blank.
  return logFilePath.find_first_not_of(' ') != std::string::npos;
}

SensorSettingsSource::SensorSettingsSource(const std::string& iniPath)
    : store_(std::make_unique<ProfileStore>(iniPath.empty() ? ProfileStore::DefaultFilePath()
                                                            : iniPath)) {}

SensorSettingsSource::~SensorSettingsSource() = default;

const std::string& SensorSettingsSource::FilePath() const { return store_->FilePath(); }

SensorSettings SensorSettingsSource::Read(const std::string& name) const {
  namespace profile = km7::profile;
  SensorSettings s;
  s.logging = store_->ReadInt(profile::Logging, profile::kFixedSuffix) != 0;
  s.logFilePath = store_->ReadText(profile::LogFilePath, name);
  s.loggingInterval = store_->ReadInt(profile::LoggingInterval, name);
  if (s.loggingInterval < 1) s.loggingInterval = 1;
  return s;
}

}  // namespace km7d
