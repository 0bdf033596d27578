#include "monitor/SensorSettings.h"

#include "settings/ProfileStore.h"

namespace km7::monitor {

namespace {
alarms::RuleBand RuleBandOf(const AlarmBand& b) { return {b.highActive != 0, b.high, b.lowActive != 0, b.low}; }
}  // namespace

bool SensorSettings::HasLogFile() const {
  // The store's default for a sensor without a log file is one blank.
  return logFilePath.find_first_not_of(' ') != std::string::npos;
}

alarms::RuleSettings SensorSettings::Rules() const {
  alarms::RuleSettings r;
  r.temperatureOn = temperatureMailOn;
  r.humidityOn = humidityMailOn;
  r.temperature = RuleBandOf(bands.temperature);
  r.humidity = RuleBandOf(bands.humidity);
  alarms::ApplyRuleOptions(ruleOptions, r);
  return r;
}

SensorSettings ReadSensorSettings(const std::string& name) {
  namespace values = km7::profile;
  const ProfileStore& store = ProfileStore::Instance();
  SensorSettings s;
  s.name = name;
  s.unit = store.ReadInt(values::CFmode, name);
  s.bands.temperature = ReadTemperatureBand(name);
  s.bands.humidity = ReadHumidityBand(name);
  s.temperatureMailOn = store.ReadInt(values::TempEmailOnOff, name) == 1;
  s.humidityMailOn = store.ReadInt(values::HumEmailOnOff, name) == 1;
  s.ruleOptions = alarms::ReadRuleOptions(name);
  s.logging = store.ReadInt(values::Logging, values::kFixedSuffix) != 0;
  s.logFilePath = store.ReadText(values::LogFilePath, name);
  s.loggingInterval = store.ReadInt(values::LoggingInterval, name);
  if (s.loggingInterval < 1) s.loggingInterval = 1;
  return s;
}

}  // namespace km7::monitor
