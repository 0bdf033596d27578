#include "km7d/SensorAlarms.h"

#include "alarms/MailSession.h"
#include "alarms/MailWorker.h"
#include "alarms/RuleMailText.h"
#include "platform/Clock.h"
#include "platform/Text.h"
#include "settings/ProfileStore.h"
#include "status/SensorSnapshot.h"

namespace km7d {

namespace {

namespace profile = km7::profile;
using km7::alarms::Limit;
using km7::alarms::Quantity;

// A band as the desktop program stores it: on/off flags and the trip points
// as text (°C, percent), read as single precision like the windows do.
km7::alarms::RuleBand ReadBand(const profile::Value& above, const profile::Value& below,
                               const profile::Value& aboveLimit, const profile::Value& belowLimit,
                               const std::string& name) {
  const ProfileStore& store = ProfileStore::Instance();
  km7::alarms::RuleBand band;
  band.highOn = store.ReadInt(above, name) != 0;
  band.lowOn = store.ReadInt(below, name) != 0;
  band.high = static_cast<float>(km7::AtofC(store.ReadText(aboveLimit, name)));
  band.low = static_cast<float>(km7::AtofC(store.ReadText(belowLimit, name)));
  return band;
}

km7::alarms::SensorProblem ProblemOf(km7::ReadingFault fault) {
  switch (fault) {
    case km7::ReadingFault::Unplugged: return km7::alarms::SensorProblem::Unplugged;
    case km7::ReadingFault::NoAnswer: return km7::alarms::SensorProblem::NoAnswer;
    case km7::ReadingFault::BadCheck: return km7::alarms::SensorProblem::CrcFailures;
    case km7::ReadingFault::None: break;
  }
  return km7::alarms::SensorProblem::None;
}

}  // namespace

void SensorAlarms::Configure(const std::string& name) {
  sensor_ = name;
  const ProfileStore& store = ProfileStore::Instance();
  km7::alarms::RuleSettings s;
  s.temperatureOn = store.ReadInt(profile::TempEmailOnOff, name) == 1;
  s.humidityOn = store.ReadInt(profile::HumEmailOnOff, name) == 1;
  s.temperature = ReadBand(profile::EmailTempAbove, profile::EmailTempBelow, profile::EmailTempAboveTemp,
                           profile::EmailTempBelowTemp, name);
  s.humidity = ReadBand(profile::EmailHumAbove, profile::EmailHumBelow, profile::EmailHumAboveTemp,
                        profile::EmailHumBelowTemp, name);
  km7::alarms::ApplyRuleOptions(km7::alarms::ReadRuleOptions(name), s);
  settings_ = s;
  unit_ = store.ReadInt(profile::CFmode, name);
  if (!stateFile_) {
    stateFile_.emplace(km7::alarms::RuleStateFile::DefaultFolder(), name);
    state_ = stateFile_->Load(km7::NowSeconds());
  }
}

void SensorAlarms::Step(const km7::Reading& reading, km7::ReadingFault fault, std::time_t now,
                        km7::alarms::MailWorker* worker) {
  km7::alarms::RuleReading r;
  r.current = reading.current;
  r.temperature = reading.temperature;
  r.humidity = reading.relativeHumidity;
  r.dewPoint = reading.dewPoint;
  r.crcErrors = reading.crcFailureCount;
  if (!reading.current) r.problem = ProblemOf(fault);
  km7::alarms::RuleStep step = km7::alarms::StepRules(state_, settings_, r, now);
  state_ = step.state;
  if (stateFile_) stateFile_->Save(state_);

  firing_.clear();
  const auto put = [&](bool on, const km7::alarms::RuleBand& band, Quantity q, const char* high,
                       const char* low) {
    if (!on) return;
    if (band.highOn) firing_[high] = state_.At(q, Limit::High).fired;
    if (band.lowOn) firing_[low] = state_.At(q, Limit::Low).fired;
  };
  namespace st = km7::status;
  put(settings_.temperatureOn, settings_.temperature, Quantity::Temperature, st::kAlarmTemperatureHigh,
      st::kAlarmTemperatureLow);
  put(settings_.humidityOn, settings_.humidity, Quantity::Humidity, st::kAlarmHumidityHigh,
      st::kAlarmHumidityLow);
  if (settings_.sensorLostSeconds > 0) firing_[st::kAlarmSensorLost] = state_.lost;

  if (step.mails.empty() || worker == nullptr) return;
  // Composed here, on the thread that reads the settings; sent by the worker.
  const km7::alarms::MailTexts texts = km7::alarms::ReadMailTexts(sensor_);
  worker->SetServer(sensor_, km7::alarms::ReadMailAccount(sensor_));
  for (const km7::alarms::RuleMail& mail : step.mails) {
    worker->Enqueue(km7::alarms::ComposeRuleMail(mail, sensor_, texts, settings_, unit_));
    ++mailsQueued_;
  }
}

int SensorAlarms::FiringCount() const {
  int n = 0;
  for (const auto& [name, on] : firing_) n += on ? 1 : 0;
  return n;
}

}  // namespace km7d
