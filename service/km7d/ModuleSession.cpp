#include "km7d/ModuleSession.h"

#include <cstring>

#include "acquisition/SensorBus.h"

namespace km7d {

ModuleSession::ModuleSession(std::shared_ptr<const D2xxLibrary> lib, std::string description)
    : lib_(std::move(lib)), description_(std::move(description)), serial_(description_) {}

ModuleSession::~ModuleSession() { Close(); }

OpenResult ModuleSession::Open() {
  Close();
  // A fresh acquisition per opening: no reading or counter of the last
  // time the module was here passes for a new one.
  acquisition_ = std::make_unique<km7::Acquisition>(lib_);
  acquisition_->SetLabel(description_ + ": ");
  D2xxDevice& device = acquisition_->Device();
  const FT_STATUS status = device.FT_OpenEx(description_.c_str(), kFtOpenByDescription);
  if (status != kFtOk) return status == kStatusNotOpened ? OpenResult::InUse : OpenResult::Failed;
  open_ = true;

  char manufacturer[32] = {};
  char manufacturerId[16] = {};
  char description[64] = {};
  char serial[16] = {};
  D2xxProgramData data{};
  data.Manufacturer = manufacturer;
  data.ManufacturerId = manufacturerId;
  data.Description = description;
  data.SerialNumber = serial;
  if (device.FT_EE_Read(&data) == kFtOk) {
    serial[sizeof serial - 1] = '\0';
    if (serial[0] != '\0') serial_ = serial;
  }

  if (device.FT_SetBitMode(SensorBus::kAllOutputs, kFtBitModeAsyncBitBang) != kFtOk) {
    Close();
    return OpenResult::BitBangFailed;
  }
  // Bus idle: data released, clock low.
  SensorBus::SetDataLine(acquisition_->Port(), 1);
  SensorBus::SetPin(acquisition_->Port(), 0, SensorBus::kClockPin);
  acquisition_->SetAutoRead(true);
  acquisition_->Start();
  return OpenResult::Opened;
}

void ModuleSession::RequestStop() {
  if (acquisition_) acquisition_->RequestStop();
}

void ModuleSession::Close() {
  if (!acquisition_) return;
  acquisition_->Stop(kStopWaitMs);
  if (open_) {
    D2xxDevice& device = acquisition_->Device();
    device.FT_SetBitMode(0, kFtBitModeReset);
    device.FT_ResetDevice();
    device.FT_Close();
    open_ = false;
  }
}

}  // namespace km7d
