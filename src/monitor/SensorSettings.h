#pragma once
// One sensor's settings as a session uses them, read from the store in one
// go: when the module opens, and again on request (a dialog saved, SIGHUP).
// Windows that change a value change it here too.
#include <string>

#include "alarms/AlarmRules.h"
#include "alarms/RuleMailText.h"
#include "settings/OpenSensor.h"

namespace km7::monitor {

// name: the name the settings are stored under.
struct SensorSettings : OpenSensor {
  // The Email boxes: a quantity's band is checked only while its box is on.
  bool temperatureMailOn = false;
  bool humidityMailOn = false;
  alarms::RuleOptions ruleOptions;
  bool logging = false;  // program-wide, as the Logging box stores it
  std::string logFilePath;
  int loggingInterval = 1;

  bool HasLogFile() const;
  // The bands and options as the rules engine takes them.
  alarms::RuleSettings Rules() const;
};

// The one reader of a sensor's settings.
SensorSettings ReadSensorSettings(const std::string& name);

}  // namespace km7::monitor
