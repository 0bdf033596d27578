#pragma once
// One sensor's alarms in km7d: the alarm rules engine fed with every tick's
// reading, the bands and rules the desktop program stored for the sensor, and
// the mails the rules ask for handed to the mail worker (never waited on).
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "acquisition/Reading.h"
#include "acquisition/ReadingStore.h"
#include "alarms/AlarmRules.h"
#include "alarms/RuleStateFile.h"

namespace km7::alarms {
class MailWorker;
}

namespace km7d {

class SensorAlarms {
 public:
  // Reads the sensor's alarm settings (at attach and on SIGHUP). The
  // engine's state is kept: an excursion already mailed is not mailed again.
  void Configure(const std::string& sensorName);
  // One step of the rules. Mails go to the worker when there is one.
  void Step(const km7::Reading& reading, km7::ReadingFault fault, std::time_t now,
            km7::alarms::MailWorker* worker);

  // Alarm name ("temperature_high", ...) -> firing now, for every alarm that
  // is set up; a lost sensor is "sensor_lost" when that rule is on.
  const std::map<std::string, bool>& Firing() const { return firing_; }
  int FiringCount() const;
  std::uint64_t MailsQueued() const { return mailsQueued_; }

 private:
  std::string sensor_;
  km7::alarms::RuleSettings settings_;
  km7::alarms::RuleState state_;
  std::optional<km7::alarms::RuleStateFile> stateFile_;
  int unit_ = 1;
  std::map<std::string, bool> firing_;
  std::uint64_t mailsQueued_ = 0;
};

}  // namespace km7d
