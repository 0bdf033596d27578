#include "monitor/SensorSession.h"

#include "acquisition/SensorBus.h"

namespace km7::monitor {

SensorSession::SensorSession(std::shared_ptr<const D2xxLibrary> lib, Holder holder)
    : lib_(std::move(lib)), holder_(holder), acquisition_(std::make_unique<km7::Acquisition>(lib_)) {}

SensorSession::~SensorSession() {
  if (holder_ == Holder::Service) Close(kStopWaitMs);
}

namespace {

// The bridge's serial number, or "" when it cannot be read.
std::string ReadSerial(D2xxDevice& device) {
  D2xxProgramDataBuffers record;
  if (device.FT_EE_Read(&record.data) != kFtOk) return {};
  record.serialNumber[sizeof record.serialNumber - 1] = '\0';
  return record.serialNumber;
}

}  // namespace

OpenResult SensorSession::Open(const std::string& description, bool reopen) {
  description_ = serial_ = description;
  if (holder_ == Holder::Service) {
    Close(kStopWaitMs);
    if (acquisition_->Health().lastGoodWallMs > 0) lastGoodWallMs_ = acquisition_->Health().lastGoodWallMs;
    // A fresh acquisition per opening: no reading or counter of the last
    // time the module was here passes for a new one.
    acquisition_ = std::make_unique<km7::Acquisition>(lib_);
    acquisition_->SetLabel(description + ": ");
  }
  cyclesSeen_ = 0;
  D2xxDevice& device = acquisition_->Device();
  const FT_STATUS status = device.FT_OpenEx(description.c_str(), kFtOpenByDescription);
  if (status != kFtOk) return status == kStatusNotOpened ? OpenResult::InUse : OpenResult::Failed;
  open_ = true;
  if (holder_ == Holder::Service) {
    if (std::string serial = ReadSerial(device); !serial.empty()) serial_ = serial;
  }

  if (device.FT_SetBitMode(SensorBus::kAllOutputs, kFtBitModeAsyncBitBang) != kFtOk) {
    acquisition_->SetAutoRead(false);
    if (holder_ == Holder::Service) Close(0);
    return OpenResult::BitBangFailed;
  }
  // Bus idle: data released, clock low.
  SensorBus::SetDataLine(acquisition_->Port(), 1);
  SensorBus::SetPin(acquisition_->Port(), 0, SensorBus::kClockPin);
  if (reopen && holder_ == Holder::Window) {
    SensorBus::SetPin(acquisition_->Port(), 0, 2);
    SensorBus::SetPin(acquisition_->Port(), 0, 4);
    SensorBus::SetPin(acquisition_->Port(), 0, 6);
  }
  acquisition_->SetAutoRead(true);
  if (holder_ == Holder::Service) {
    ReadSettings(description);
    StartMeasuring();
  }
  return OpenResult::Opened;
}

void SensorSession::RequestStop() { acquisition_->RequestStop(); }

void SensorSession::Close(unsigned waitMs) {
  StopMeasuring(waitMs);
  CloseDevice();
}

void SensorSession::StopMeasuring(unsigned waitMs) { acquisition_->Stop(waitMs); }

void SensorSession::CloseDevice() {
  if (!open_) return;
  D2xxDevice& device = acquisition_->Device();
  // The window leaves bit-bang mode only at exit (ResetPortForExit).
  if (holder_ == Holder::Service) device.FT_SetBitMode(0, kFtBitModeReset);
  device.FT_ResetDevice();
  device.FT_Close();
  open_ = false;
}

void SensorSession::CloseHandle() {
  if (!open_) return;
  acquisition_->Device().FT_Close();
  open_ = false;
}

void SensorSession::ResetPortForExit() {
  if (open_) acquisition_->Device().FT_SetBitMode(0, kFtBitModeReset);
}

void SensorSession::ReadSettings(const std::string& name) {
  alarms_.Follow(name);
  settings_ = ReadSensorSettings(name);
  if (holder_ == Holder::Service) log_.Configure(settings_);
}

void SensorSession::FollowSensor(const std::string& name) {
  if (name == alarms_.Sensor()) return;
  alarms_.Follow(name);
  ReadRuleOptions();
}

void SensorSession::ReadRuleOptions() { settings_.ruleOptions = alarms::ReadRuleOptions(alarms_.Sensor()); }

SessionStep SensorSession::Step(std::time_t now, alarms::MailWorker* worker) {
  SessionStep step;
  // A Service module away is a sensor without readings: the rules see that
  // too. The window reads its acquisition whatever it holds.
  const bool measuring = holder_ == Holder::Window || open_;
  step.reading.current = false;
  step.health.lastFault = ReadingFault::Unplugged;
  if (measuring) {
    step.reading = acquisition_->Read();
    step.health = acquisition_->Health();
    const std::uint64_t cycles = step.health.goodReadings + step.health.failedReadings;
    step.newCycle = cycles != cyclesSeen_;
    cyclesSeen_ = cycles;
    if (step.health.lastGoodWallMs > 0) lastGoodWallMs_ = step.health.lastGoodWallMs;
    if (holder_ == Holder::Service) step.message = log_.Tick(now, step.reading);
  }
  step.mails = alarms_.Step(settings_, step.reading, step.health.lastFault,
                            lastGoodWallMs_, now, worker);
  return step;
}

void SensorSession::FlushLog() { log_.Flush(); }

}  // namespace km7::monitor
