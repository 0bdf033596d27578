#include "km7d/SensorMonitor.h"

#include <chrono>

#include "mqtt/MqttPublisher.h"
#include "km7d/SteadyClock.h"
#include "platform/Clock.h"
#include "platform/Text.h"

namespace km7d {

using km7::monitor::OpenResult;

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
                             km7::status::SnapshotStore& store, Say say)
    : description_(std::move(description)),
      store_(store),
      say_(std::move(say)),
      session_(std::move(lib), km7::monitor::Holder::Service),
      serial_(description_) {}

SensorMonitor::~SensorMonitor() { Stop(); }

std::string SensorMonitor::NameUtf8() const { return km7::Cp1252ToUtf8(description_); }

ModuleState SensorMonitor::Attach(km7::mqtt::MqttPublisher* mqtt) {
  const ModuleState before = state_;
  // The opening starts a fresh acquisition: its counters start at zero.
  const auto health = session_.Acquisition().Health();
  crcBase_ += health.crcErrors;
  failedBase_ += health.failedReadings;
  const std::string name = "module \"" + NameUtf8() + "\"";
  switch (session_.Open(description_)) {
    case OpenResult::Opened: {
      state_ = ModuleState::Watching;
      serial_ = session_.Serial();
      lastProgressMs_ = SteadyNowMs();
      say_(std::string(everAttached_ ? "picked up again " : "watching ") + name + " (serial " +
           km7::Cp1252ToUtf8(serial_) + ")");
      everAttached_ = true;
      mqtt_ = mqtt;
      if (mqtt_) mqtt_->SetAvailable(km7::Cp1252ToUtf8(serial_), true);
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
  session_.Close(km7::monitor::SensorSession::kStopWaitMs);
  if (mqtt_ && state_ == ModuleState::Watching) mqtt_->SetAvailable(km7::Cp1252ToUtf8(serial_), false);
  state_ = ModuleState::Gone;
  Tick();
}

bool SensorMonitor::Current() const {
  return state_ == ModuleState::Watching && session_.Acquisition().Read().current;
}

bool SensorMonitor::LostBridge() const {
  if (state_ != ModuleState::Watching) return false;
  const auto health = session_.Acquisition().Health();
  return health.lastFault == km7::ReadingFault::Unplugged && !health.current;
}

void SensorMonitor::Reload() { session_.ReadSettings(description_); }

km7::status::SensorSnapshot SensorMonitor::Snapshot(const km7::monitor::SessionStep& step) const {
  km7::status::SensorSnapshot s;
  s.name = NameUtf8();
  s.serial = km7::Cp1252ToUtf8(serial_);
  s.mailOutboxMessages = mailOutbox_;
  s.mailsSentTotal = mailsSent_;
  s.mailsGivenUpTotal = mailsGivenUp_;
  s.mailsDroppedTotal = mailsDropped_;
  s.crcErrorsTotal = crcBase_;
  s.readingsFailedTotal = failedBase_;
  const std::int64_t lastGoodMs = session_.LastGoodWallMs();
  if (state_ == ModuleState::Watching) {
    s.crcErrorsTotal += step.health.crcErrors;
    s.readingsFailedTotal += step.health.failedReadings;
    s.up = step.reading.current;
    s.temperatureC = step.reading.temperature;
    s.humidityPercent = step.reading.relativeHumidity;
    s.dewPointC = step.reading.dewPoint;
  }
  if (lastGoodMs > 0)
    s.lastGoodReading = std::chrono::system_clock::time_point(std::chrono::milliseconds(lastGoodMs));
  s.alarms = session_.Alarms().Firing();
  return s;
}

void SensorMonitor::Tick() {
  const km7::monitor::SessionStep step = session_.Step(km7::NowSeconds(), worker_);
  if (step.newCycle) lastProgressMs_ = SteadyNowMs();
  if (!step.message.empty()) say_(NameUtf8() + ": " + step.message);
  km7::status::SensorSnapshot snapshot = Snapshot(step);
  // After every reading, and only then; the publisher sends what changed.
  if (step.newCycle && mqtt_) mqtt_->PublishState(snapshot);
  store_.Publish(std::move(snapshot));
}

bool SensorMonitor::ThreadHealthy(std::int64_t nowMs) const {
  if (state_ != ModuleState::Watching) return true;
  if (!session_.Acquisition().ThreadAlive()) return false;
  return nowMs - lastProgressMs_ < kStuckAfterMs;
}

bool SensorMonitor::HasFirstReading() const {
  if (state_ != ModuleState::Watching) return true;
  return session_.Acquisition().Health().goodReadings > 0;
}

void SensorMonitor::RequestStop() { session_.RequestStop(); }

void SensorMonitor::Stop() {
  session_.Close(km7::monitor::SensorSession::kStopWaitMs);
  session_.FlushLog();
}

}  // namespace km7d
