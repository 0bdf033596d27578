#pragma once
// Choosing, opening and closing a module, the exit sequence and renaming.
// These are the main window's operations; the window lends what they need
// through DeviceHost, so this library knows nothing of the window class.
#include <string>

#include "acquisition/AcquisitionThread.h"
#include "acquisition/D2xxLibrary.h"
#include "devices/DeviceList.h"
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
inline constexpr char kNameTerminating[] = "Terminating thread";
inline constexpr char kNoDevicePresent[] = "NoDevicePresent";

// Upper bounds of the waits for the acquisition thread, in milliseconds: for
// it to end before the device is closed or renamed (close), before the program
// ends (exit), and for its first reading after a start. Each wait ends as soon
// as its event has happened.
inline constexpr unsigned kCloseWaitMs = 1400;
inline constexpr unsigned kStartWaitMs = 500;
inline constexpr unsigned kExitWaitMs = 1500;

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

// What the device operations need of the main window.
class DeviceHost {
 public:
  virtual ~DeviceHost() = default;
  virtual MainWindowValues& Values() = 0;
  // The window that owns the chooser and rename dialogs.
  virtual ui::CDialog* DialogParent() = 0;
  virtual void SaveControls() = 0;  // controls -> members
  virtual void LoadControls() = 0;  // members -> controls, and repaint at once
  virtual void StopDisplayTimer() = 0;
  virtual void StartDisplayTimer() = 0;
  // Queues one display tick for when the current handler is done, so the
  // values show without waiting for the timer's first period. Skipped when
  // the timer was stopped meanwhile.
  virtual void TickSoon() = 0;
  virtual void EnableRenameButton(bool enable) = 0;
  // Closes an open chart window and creates a new one in its place.
  virtual void ReplaceChartWindowIfOpen() = 0;
  virtual void CloseChartWindow() = 0;
  // Closes the data log file and the e-mail diagnostic log if they are open.
  virtual void CloseLogFiles() = 0;
  // Ends the main window's modal run with OK.
  virtual void EndMainWindow() = 0;
};

class DeviceManager {
 public:
  // The operations start and stop the acquisition thread themselves.
  DeviceManager(DeviceHost& host, D2xxLibrary& lib, AcquisitionThread& acquisition)
      : host_(host), lib_(lib), acquisition_(acquisition) {}

  // The Open button: close, list, choose, open.
  void OnOpenButton();
  // At start-up: close, list, open the remembered module without asking.
  // -1 when the drivers are not loaded or no module is attached, else 0.
  int ReopenRemembered();
  // The Rename button.
  void OnRenameButton();
  // The main window's cancel handling: stop everything and end the window.
  void Exit();

  bool DeviceOpen() const { return deviceOpen_; }

  // The description chosen last, or read as the remembered module at start-up.
  std::string SelectedDevice;

 private:
  bool CloseStage(bool openButton);
  void Open(bool reopen);

  DeviceHost& host_;
  D2xxLibrary& lib_;
  AcquisitionThread& acquisition_;
  // A handle from a successful FT_OpenEx that was not closed since. Nothing
  // is reset, closed or switched on a handle that is not open.
  bool deviceOpen_ = false;
};

}  // namespace km7
