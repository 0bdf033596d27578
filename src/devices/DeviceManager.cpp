#include "devices/DeviceManager.h"

#include <vector>

#include "acquisition/Acquisition.h"
#include "settings/ProfileStore.h"
#include "devices/Rename.h"
#include "devices/Search.h"
#include "ui/MessageBox.h"

namespace km7 {

namespace {
namespace values = km7::profile;
ProfileStore& Settings() { return ProfileStore::Instance(); }
void Warn(const char* text) { ui::ShowMessage(text, ui::MessageIcon::Warning); }
// A value box emptied to a single space. Filled rather than copied from a
// literal: GCC 12's optimiser reports a false overlap for the literal here.
void Blank(std::string& text) { text.assign(1, ' '); }
}  // namespace

// Stops the display and the acquisition and closes the device. False when
// the drivers are not loaded (nothing else is done then).
bool DeviceManager::CloseStage(bool openButton) {
  if (DriversLoaded.load() == 0) {
    Warn(kMsgDriversNotLoaded);
    return false;
  }
  host_.StopDisplayTimer();
  host_.SaveControls();
  MainWindowValues& v = host_.Values();
  v.SetName(kNameClosed);
  Blank(v.temperatureText);
  if (openButton) {
    Blank(v.humidityText);
    Blank(v.dewPointText);
  }
  host_.LoadControls();
  session_.StopMeasuring(kCloseWaitMs);
  // Nothing to rename until a module is open again.
  host_.EnableRenameButton(false);
  session_.CloseDevice();
  return true;
}

DeviceOutcome DeviceManager::Open(bool reopen) {
  MainWindowValues& v = host_.Values();
  host_.SaveControls();
  v.SetName(SelectedDevice);
  OpenSensor& sensor = session_.Settings();
  sensor.name = SelectedDevice;
  host_.LoadControls();
  // Named elsewhere with a character the settings file cannot take: its
  // settings still work, under an escaped name, and the user hears why once.
  if (const std::string notice = EscapedNameNoticeOnce(SelectedDevice); !notice.empty())
    ui::ShowMessage(notice, ui::MessageIcon::Information);

  switch (session_.Open(v.sensorName, reopen)) {
    case monitor::OpenResult::Opened: break;
    case monitor::OpenResult::BitBangFailed: Warn(kMsgBitBangFailed); return DeviceOutcome::Unchanged;
    case monitor::OpenResult::InUse:
    case monitor::OpenResult::Failed: return DeviceOutcome::Unchanged;
  }
  host_.EnableRenameButton(true);

  const std::string& suffix = v.sensorName;
  sensor.unit = Settings().ReadInt(values::CFmode, suffix);
  v.unitChoice = sensor.unit;
  v.tempEmailOn = Settings().ReadInt(values::TempEmailOnOff, suffix);
  v.humEmailOn = Settings().ReadInt(values::HumEmailOnOff, suffix);
  if (!reopen) {
    // At start-up the main window has loaded these already.
    sensor.bands.temperature = ReadTemperatureBand(suffix);
    sensor.bands.humidity = ReadHumidityBand(suffix);
  }
  host_.LoadControls();

  session_.StartMeasuring();
  // The first tick then shows a complete reading, not the zeros of start-up.
  acquisition_.WaitForFirstReading(kStartWaitMs);
  return DeviceOutcome::Measuring;
}

bool DeviceManager::Listed(const DeviceListing& list) {
  switch (list.outcome) {
    case DeviceListing::Outcome::CountFailed:
      Warn(kMsgListFailed);
      return false;
    case DeviceListing::Outcome::NoneAttached:
      host_.SaveControls();
      host_.Values().SetName(kNameNoDevices);
      host_.LoadControls();
      return false;
    case DeviceListing::Outcome::NoneAvailable:
      Warn(kMsgNoneAvailable);
      return false;
    case DeviceListing::Outcome::Listed:
      break;
  }
  return true;
}

DeviceOutcome DeviceManager::OnOpenButton() {
  if (!CloseStage(true)) return DeviceOutcome::Unchanged;
  const DeviceListing list = ListDevices(lib_);
  if (!Listed(list)) return DeviceOutcome::Unchanged;
  CSearch chooser(list.count, list.descriptions, host_.DialogParent());
  if (chooser.DoModal() == ui::IDOK) {
    SelectedDevice = chooser.chosen;
    host_.Values().SetName(kDefaultSensorName);
    Settings().WriteText(values::Device, kDefaultSensorName, SelectedDevice);
  }
  return Open(false);
}

DeviceOutcome DeviceManager::ReopenRemembered() {
  // Checked before the name box is touched, so that it keeps saying why.
  if (DriversLoaded.load() == 0) {
    Warn(kMsgDriversNotLoaded);
    return DeviceOutcome::Unchanged;
  }
  host_.Values().SetName(kDefaultSensorName);
  SelectedDevice = Settings().ReadText(values::Device, host_.Values().sensorName);
  if (!CloseStage(false)) return DeviceOutcome::Unchanged;
  const DeviceListing list = ListDevices(lib_);
  if (!Listed(list)) return DeviceOutcome::Unchanged;
  return Open(true);
}

bool DeviceManager::SelectedListed() const {
  if (DriversLoaded.load() == 0) return false;
  const DeviceListing list = ListDevices(lib_);
  if (list.outcome != DeviceListing::Outcome::Listed) return false;
  for (const std::string& d : list.descriptions)
    if (d == SelectedDevice) return true;
  return false;
}

DeviceOutcome DeviceManager::ReopenSelected() {
  if (!CloseStage(false)) return DeviceOutcome::Unchanged;
  return Open(true);
}

void DeviceManager::ResetPortForExit() {
  session_.ResetPortForExit();
}

void DeviceManager::OnRenameButton() {
  host_.EnableRenameButton(false);
  host_.SaveControls();
  MainWindowValues& v = host_.Values();
  // The sensor's own name, not a "bad reading" text in the name box.
  std::string& sensorName = session_.Settings().name;
  sensorName = v.sensorName;
  CRename dialog(sensorName, host_.DialogParent());
  if (dialog.DoModal() != ui::IDOK) {
    host_.EnableRenameButton(true);
    return;
  }
  host_.SaveControls();
  v.SetName(kNameClosed);
  host_.LoadControls();
  acquisition_.Stop(kCloseWaitMs);

  static_assert(sizeof(D2xxProgramDataBuffers::description) == kDescriptionSize);
  D2xxProgramDataBuffers record;
  D2xxProgramData& data = record.data;
  if (acquisition_.Device().FT_EE_Read(&data) != kFtOk) {
    Warn(kMsgEeReadFailed);
    return;
  }
  std::vector<char> newName(sensorName.begin(), sensorName.end());
  newName.push_back('\0');
  data.Description = newName.data();
  if (acquisition_.Device().FT_EE_Program(&data) != kFtOk) {
    Warn(kMsgEeProgramFailed);
    return;
  }
  ui::ShowMessage(kMsgRenamed, ui::MessageIcon::Information);
  session_.CloseHandle();
  // The device is closed now: the button comes back with the next open.
}

}  // namespace km7
