#pragma once
// One sensor's alarm rules: the engine's state, fed with every step's
// reading, and the mails it asks for composed and handed to the mail worker
// (never waited on).
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/Reading.h"
#include "acquisition/ReadingStore.h"
#include "alarms/AlarmRules.h"
#include "alarms/RuleStateFile.h"
#include "monitor/SensorSettings.h"

namespace km7::alarms {
class MailWorker;
}

namespace km7::monitor {

// What the acquisition saw, in the rules' terms.
alarms::SensorProblem ProblemOf(ReadingFault fault);

class SensorAlarms {
 public:
  // One step of the rules. measuredAtWallMs: when the reading's values were
  // measured (the silence of a lost sensor counts from there); 0 when never.
  // Returns the mails the rules asked for; they went to the worker when
  // there is one.
  std::vector<alarms::RuleMail> Step(const SensorSettings& settings, const Reading& reading, ReadingFault fault,
                                     std::int64_t measuredAtWallMs, std::time_t now,
                                     alarms::MailWorker* worker);
  // The sensor the rules and their mails are for; another one goes on from
  // where its last run left its rules (kept in the state folder), so that a
  // restart during an excursion neither mails it again nor forgets it.
  void Follow(const std::string& sensorName);
  const std::string& Sensor() const { return sensor_; }

  // Alarm name (alarms::kAlarm...) -> firing now, for every alarm that is set
  // up; a lost sensor is kAlarmSensorLost when that rule is on.
  const std::map<std::string, bool>& Firing() const { return firing_; }
  int FiringCount() const;
  std::uint64_t MailsQueued() const { return mailsQueued_; }
  const alarms::RuleState& State() const { return state_; }

 private:
  void NoteFiring(const alarms::RuleSettings& rules);

  std::string sensor_;
  alarms::RuleState state_;
  std::optional<alarms::RuleStateFile> stateFile_;
  std::map<std::string, bool> firing_;
  std::uint64_t mailsQueued_ = 0;
};

}  // namespace km7::monitor
