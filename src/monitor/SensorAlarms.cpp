#include "monitor/SensorAlarms.h"

#include "alarms/MailSession.h"
#include "alarms/MailWorker.h"
#include "alarms/RuleMailText.h"
#include "platform/Clock.h"

namespace km7::monitor {

using alarms::Limit;
using alarms::Quantity;

alarms::SensorProblem ProblemOf(ReadingFault fault) {
  switch (fault) {
    case ReadingFault::Unplugged: return alarms::SensorProblem::Unplugged;
    case ReadingFault::NoAnswer: return alarms::SensorProblem::NoAnswer;
    case ReadingFault::BadCheck: return alarms::SensorProblem::CrcFailures;
    case ReadingFault::None: break;
  }
  return alarms::SensorProblem::None;
}

void SensorAlarms::Follow(const std::string& sensorName) {
  if (sensorName == sensor_) return;
  sensor_ = sensorName;
  stateFile_.emplace(alarms::RuleStateFile::DefaultFolder(), sensorName);
  state_ = stateFile_->Load(NowSeconds());
  firing_.clear();
}

std::vector<alarms::RuleMail> SensorAlarms::Step(const SensorSettings& settings, const Reading& reading,
                                                 ReadingFault fault, std::int64_t measuredAtWallMs,
                                                 std::time_t now, alarms::MailWorker* worker) {
  alarms::RuleReading r;
  r.current = reading.current;
  r.temperature = reading.temperature;
  r.humidity = reading.relativeHumidity;
  r.dewPoint = reading.dewPoint;
  r.crcErrors = reading.crcFailureCount;
  if (!reading.current) r.problem = ProblemOf(fault);
  r.measuredAt = static_cast<std::time_t>(measuredAtWallMs / 1000);
  const alarms::RuleSettings rules = settings.Rules();
  alarms::RuleStep step = alarms::StepRules(state_, rules, r, now);
  state_ = step.state;
  if (stateFile_) stateFile_->Save(state_);
  NoteFiring(rules);

  mailsQueued_ += step.mails.size();
  if (step.mails.empty() || worker == nullptr) return std::move(step.mails);
  // Composed here, where the settings are read; sent by the worker.
  const alarms::MailTexts texts = alarms::ReadMailTexts(sensor_);
  worker->SetServer(sensor_, alarms::ReadMailAccount(sensor_));
  for (const alarms::RuleMail& mail : step.mails)
    worker->Enqueue(alarms::ComposeRuleMail(mail, sensor_, texts, rules, settings.unit));
  return std::move(step.mails);
}

void SensorAlarms::NoteFiring(const alarms::RuleSettings& rules) {
  firing_.clear();
  const auto put = [&](bool on, const alarms::RuleBand& band, Quantity q, const char* high, const char* low) {
    if (!on) return;
    if (band.highOn) firing_[high] = state_.At(q, Limit::High).fired;
    if (band.lowOn) firing_[low] = state_.At(q, Limit::Low).fired;
  };
  put(rules.temperatureOn, rules.temperature, Quantity::Temperature, alarms::kAlarmTemperatureHigh,
      alarms::kAlarmTemperatureLow);
  put(rules.humidityOn, rules.humidity, Quantity::Humidity, alarms::kAlarmHumidityHigh, alarms::kAlarmHumidityLow);
  if (rules.sensorLostSeconds > 0) firing_[alarms::kAlarmSensorLost] = state_.lost;
}

int SensorAlarms::FiringCount() const {
  int n = 0;
  for (const auto& [name, on] : firing_) n += on ? 1 : 0;
  return n;
}

}  // namespace km7::monitor
