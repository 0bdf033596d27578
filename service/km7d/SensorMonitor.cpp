#include "km7d/SensorMonitor.h"

#include <chrono>

#include "mqtt/MqttPublisher.h"
#include "km7d/SteadyClock.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace km7d {

const char* ModuleStateName(ModuleState state) {
  switch (state) {
    case ModuleState::Watching: return "watching";
    case ModuleState::InUse: return "in use by another program";
    case ModuleState::Failed: return "failed";
    case ModuleState::Gone: return "gone";
  }
  return "?";
}

SensorMonitor::SensorMonitor(std::shared_ptr<const D2xxLibrary> lib, std::string description,
                             km7::status::SnapshotStore& store, SensorSettingsSource& settings,
                             Say say)
    : lib_(std::move(lib)),
      description_(std::move(description)),
      store_(store),
      settingsSource_(settings),
      say_(std::move(say)),
      serial_(description_) {}

SensorMonitor::~SensorMonitor() { Stop(); }

std::string SensorMonitor::NameUtf8() const { return km7::Cp1252ToUtf8(description_); }

ModuleState SensorMonitor::Attach(const km7::mqtt::MqttSettings* mqtt) {
  const ModuleState before = state_;
  if (!session_) session_ = std::make_unique<ModuleSession>(lib_, description_);
  if (session_->HasAcquisition()) {
    const auto health = session_->Acquisition().Health();
    crcBase_ += health.crcErrors;
    failedBase_ += health.failedReadings;
    if (health.lastGoodWallMs > 0) lastGoodWallMs_ = health.lastGoodWallMs;
  }
  const std::string name = "module \"" + NameUtf8() + "\"";
  switch (session_->Open()) {
    case OpenResult::Opened: {
      state_ = ModuleState::Watching;
      serial_ = session_->Serial();
      settings_ = settingsSource_.Read(description_);
      log_.Configure(settings_);
      alarms_.Configure(description_);
      openedMs_ = lastProgressMs_ = SteadyNowMs();
      cyclesSeen_ = 0;
      say_(std::string(everAttached_ ? "picked up again " : "watching ") + name + " (serial " +
           km7::Cp1252ToUtf8(serial_) + ")");
      everAttached_ = true;
      if (mqtt != nullptr && !mqtt_) {
        mqtt_ = std::make_unique<km7::mqtt::MqttPublisher>(*mqtt, NameUtf8(),
                                                           km7::Cp1252ToUtf8(serial_));
        std::string error;
        if (!mqtt_->Start(error)) {
          say_(name + ": no MQTT: " + error);
          mqtt_.reset();
        }
      }
      break;
    }
    case OpenResult::InUse:
      state_ = ModuleState::InUse;
      if (before != state_) say_(name + " is open in another program: skipped until it is closed");
      break;
    case OpenResult::BitBangFailed:
      state_ = ModuleState::Failed;
      if (before != state_) say_(name + ": could not enable bit-bang mode; skipped");
      break;
    case OpenResult::Failed:
      state_ = ModuleState::Failed;
      if (before != state_) say_(name + " could not be opened; tried again at the next look");
      break;
  }
  Tick();
  return state_;
}

void SensorMonitor::Detach(const std::string& why) {
  if (state_ == ModuleState::Watching) say_("module \"" + NameUtf8() + "\" " + why);
  if (session_) session_->Close();
  state_ = ModuleState::Gone;
  Tick();
}

bool SensorMonitor::Current() const {
  return state_ == ModuleState::Watching && session_->Acquisition().Read().current;
}

bool SensorMonitor::LostBridge() const {
  if (state_ != ModuleState::Watching || !session_) return false;
  const auto health = session_->Acquisition().Health();
  return health.lastFault == km7::ReadingFault::Unplugged && !health.current;
}

void SensorMonitor::Reload() {
  settings_ = settingsSource_.Read(description_);
  log_.Configure(settings_);
  alarms_.Configure(description_);
}

km7::status::SensorSnapshot SensorMonitor::Snapshot(const km7::Reading& r) const {
  km7::status::SensorSnapshot s;
  s.name = NameUtf8();
  s.serial = km7::Cp1252ToUtf8(serial_);
  s.mailOutboxMessages = mailOutbox_;
  s.mailsSentTotal = mailsSent_;
  s.mailsGivenUpTotal = mailsGivenUp_;
  s.mailsDroppedTotal = mailsDropped_;
  s.crcErrorsTotal = crcBase_;
  s.readingsFailedTotal = failedBase_;
  std::int64_t lastGoodMs = lastGoodWallMs_;
  if (session_ && session_->HasAcquisition()) {
    const km7::AcquisitionHealth health = session_->Acquisition().Health();
    s.crcErrorsTotal += health.crcErrors;
    s.readingsFailedTotal += health.failedReadings;
    if (health.lastGoodWallMs > 0) lastGoodMs = health.lastGoodWallMs;
  }
  if (lastGoodMs > 0)
    s.lastGoodReading = std::chrono::system_clock::time_point(std::chrono::milliseconds(lastGoodMs));
  if (state_ == ModuleState::Watching) {
    s.up = r.current;
    s.temperatureC = r.temperature;
    s.humidityPercent = r.relativeHumidity;
    s.dewPointC = r.dewPoint;
  }
  return s;
}

void SensorMonitor::Tick() {
  km7::Reading reading;
  reading.current = false;
  km7::ReadingFault fault = km7::ReadingFault::Unplugged;
  bool newCycle = false;
  if (session_ && state_ == ModuleState::Watching) {
    const km7::Acquisition& acq = session_->Acquisition();
    const auto health = acq.Health();
    reading = acq.Read();
    fault = health.lastFault;
    const std::uint64_t cycles = health.goodReadings + health.failedReadings;
    if (cycles != cyclesSeen_) {
      cyclesSeen_ = cycles;
      lastProgressMs_ = SteadyNowMs();
      newCycle = true;
    }
    if (std::string m = log_.Tick(km7::NowSeconds(), reading); !m.empty()) say_(NameUtf8() + ": " + m);
  }
  // A module away is a sensor without readings: the rules see that too.
  alarms_.Step(reading, fault, km7::NowSeconds(), worker_);
  km7::status::SensorSnapshot snapshot = Snapshot(reading);
  snapshot.alarms = alarms_.Firing();
  // After every reading, and only then.
  if (newCycle && mqtt_) mqtt_->PublishState(snapshot);
  store_.Publish(std::move(snapshot));
}

bool SensorMonitor::ThreadHealthy(std::int64_t nowMs) const {
  if (state_ != ModuleState::Watching) return true;
  if (!session_->Acquisition().ThreadAlive()) return false;
  return nowMs - lastProgressMs_ < kStuckAfterMs;
}

bool SensorMonitor::HasFirstReading() const {
  if (state_ != ModuleState::Watching) return true;
  return session_->Acquisition().Health().goodReadings > 0;
}

void SensorMonitor::RequestStop() {
  if (session_) session_->RequestStop();
}

void SensorMonitor::Stop() {
  if (session_) session_->Close();
  log_.Flush();
  if (mqtt_) mqtt_->Stop();
}

}  // namespace km7d
