#pragma once
// Choosing, opening and closing a module, and renaming it. These are the
// main window's operations; the window lends what they need while they run
// through DeviceHost and acts on the DeviceOutcome they return, so this
// library knows nothing of the window class.
#include <cstdint>
#include <string>

#include "acquisition/Acquisition.h"
#include "acquisition/D2xxLibrary.h"
#include "devices/DeviceList.h"
#include "monitor/SensorSession.h"
#include "settings/OpenSensor.h"

namespace km7::ui {
class CDialog;
}

namespace km7 {

// Messages and name-box texts.
inline constexpr char kMsgDriversNotLoaded[] = "The DLL USB drivers are not loaded on this system.";
inline constexpr char kMsgListFailed[] = "FT_ListDevices failed";
inline constexpr char kMsgNoneAvailable[] = "No devices available.";
inline constexpr char kMsgBitBangFailed[] = "Could not enable Bit-Bang mode.  Autoread function disabled.";
inline constexpr char kMsgNameTooShort[] = "New description strings must be at least 2 characters in length.";
inline constexpr char kMsgEeReadFailed[] = "EE_Read FAILED!";
inline constexpr char kMsgEeProgramFailed[] = "EE_Program FAILED!";
inline constexpr char kMsgRenamed[] =
    "The new description string was successfully written.  \n\n"
    "The description string is only read at power up.  You \n"
    "must terminate this program, disconnect and then \n"
    "reconnect the sensor before the new name \n"
    "will take effect.";
inline constexpr char kNameClosed[] = "Closed";
inline constexpr char kNameNoDevices[] = "No devices attached";
inline constexpr char kNoDevicePresent[] = "NoDevicePresent";

// Upper bounds of the waits for the acquisition thread, in milliseconds: for
// it to end before the device is closed or renamed (close), before the program
// ends (exit), and for its first reading after a start. Each wait ends as soon
// as its event has happened.
inline constexpr unsigned kCloseWaitMs = 1400;
inline constexpr unsigned kStartWaitMs = 500;
inline constexpr unsigned kExitWaitMs = 1500;
// How often the list is read for an unplugged module, and how long after an
// open of it that did not measure it is tried again.
inline constexpr std::int64_t kReplugCheckMs = 2000;
inline constexpr std::int64_t kReplugRetryMs = 60000;

// The main window's members that are exchanged with its controls.
struct MainWindowValues {
  std::string nameText = kDefaultSensorName;
  std::string temperatureText;
  std::string humidityText;
  std::string dewPointText;
  int unitChoice = -1;  // 0 = °F, 1 = °C, -1 = neither
  int humEmailOn = 0;
  int tempEmailOn = 0;
  int dewEmailOn = 0;
  int chartingOn = 0;
  int loggingOn = 0;
  // The name the per-sensor settings are stored under. It follows the name
  // box, except that a "bad reading" text in the name box does not replace
  // the open sensor's name here.
  std::string sensorName = kDefaultSensorName;

  // Sets the name box and the settings name together.
  void SetName(const std::string& name) {
    nameText = name;
    sensorName = name;
  }
};

// What the device operations need of the main window while they run.
class DeviceHost {
 public:
  virtual ~DeviceHost() = default;
  virtual MainWindowValues& Values() = 0;
  // The window that owns the chooser and rename dialogs.
  virtual ui::CDialog* DialogParent() = 0;
  virtual void SaveControls() = 0;  // controls -> members
  virtual void LoadControls() = 0;  // members -> controls, and repaint at once
  virtual void StopDisplayTimer() = 0;
  virtual void EnableRenameButton(bool enable) = 0;
};

// What an operation left for the main window to do.
enum class DeviceOutcome {
  // Nothing more: refused, cancelled, or no module measured.
  Unchanged,
  // A module is open and its acquisition runs with a first reading in: start
  // the display timer, show a tick at once (not a period later) and give an
  // open chart window the module.
  Measuring,
};

class DeviceManager {
 public:
  // The operations open and close the session's module themselves; its
  // acquisition's device is the one they rename.
  DeviceManager(DeviceHost& host, const D2xxLibrary& lib, monitor::SensorSession& session)
      : host_(host), lib_(lib), session_(session), acquisition_(session.Acquisition()) {}

  // The Open button: close, list, choose, open.
  DeviceOutcome OnOpenButton();
  // At start-up: close, list, open the remembered module without asking.
  DeviceOutcome ReopenRemembered();
  // Whether the module opened last is in the list of attached modules.
  bool SelectedListed() const;
  // The module opened last, which vanished and is listed again: close the
  // dead handle and open it anew, without asking.
  DeviceOutcome ReopenSelected();
  // The Rename button.
  void OnRenameButton();
  // Last step of the program's exit, once the acquisition has ended: the
  // port's pins go back to their reset mode; the handle stays open.
  void ResetPortForExit();

  bool DeviceOpen() const { return session_.IsOpen(); }

  // The description chosen last, or read as the remembered module at start-up.
  std::string SelectedDevice;

 private:
  bool CloseStage(bool openButton);
  // False, having said why, when no module can be chosen.
  bool Listed(const DeviceListing& list);
  DeviceOutcome Open(bool reopen);

  DeviceHost& host_;
  const D2xxLibrary& lib_;
  monitor::SensorSession& session_;
  Acquisition& acquisition_;
};

}  // namespace km7
