#pragma once
// One module as a program measures it: its acquisition, the one opening
// sequence (open by description, bit-bang mode, bus idle, thread started),
// a snapshot of the sensor's settings, its alarm rules with the mail
// hand-off, and its data log. Each step takes the time and says what
// happened; the desktop window adds its value boxes and chart, km7d its
// exports. Lives on one thread (the window's, or km7d's main loop).
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/Acquisition.h"
#include "alarms/AlarmRules.h"
#include "monitor/SensorAlarms.h"
#include "monitor/SensorLog.h"
#include "monitor/SensorSettings.h"

namespace km7::alarms {
class MailWorker;
}

namespace km7::monitor {

enum class OpenResult {
  Opened,
  InUse,          // another program has it open
  Failed,         // it could not be opened (gone again, or a driver fault)
  BitBangFailed,  // opened, but the port would not switch to bit-bang mode
};

// Status of the driver's FT_OpenEx for a module that another program holds.
inline constexpr unsigned long kStatusNotOpened = 3;

// How the program holds its module.
enum class Holder {
  // The desktop window: one acquisition for the program's life, started
  // idle before any module opens; a handle whose bit-bang mode failed stays
  // open; a reopen drives the spare lines low; the window's Logging box
  // writes the data log.
  Window,
  // km7d: a fresh acquisition per opening, named after the module; the
  // serial number read from the bridge; a module that will not switch to
  // bit-bang is closed again; closing leaves bit-bang mode first; the
  // session writes the data log its settings name.
  Service,
};

// What one step saw and did.
struct SessionStep {
  Reading reading;  // not current while no module measures
  AcquisitionHealth health;
  bool newCycle = false;  // the thread finished a cycle since the last step
  std::vector<alarms::RuleMail> mails;  // handed to the mail worker
  std::string message;  // for the user (Windows-1252); empty: nothing to say
};

class SensorSession {
 public:
  SensorSession(std::shared_ptr<const D2xxLibrary> lib, Holder holder);
  ~SensorSession();
  SensorSession(const SensorSession&) = delete;
  SensorSession& operator=(const SensorSession&) = delete;

  // Opens the module of that description, switches it to bit-bang mode and
  // brings the bus to idle. A Service session then reads its settings and
  // starts measuring; the window starts once its boxes show the module
  // (StartMeasuring). A Service session is left closed by anything but Opened.
  OpenResult Open(const std::string& description, bool reopen = false);
  // Starts the acquisition thread on the open module.
  void StartMeasuring() { acquisition_->Start(); }
  // Asks the thread to stop without waiting, so that many modules stop at
  // once; Close then only waits for what is left.
  void RequestStop();
  // StopMeasuring, then CloseDevice.
  void Close(unsigned waitMs);
  // Stops and joins the thread, waiting at most waitMs.
  void StopMeasuring(unsigned waitMs);
  // Resets the open device while its handle is valid, then closes it. Nothing
  // is reset, closed or switched on a handle that is not open.
  void CloseDevice();
  // Closes the handle alone (the thread has stopped: after a rename).
  void CloseHandle();
  // Exit: the port's pins go back to their reset mode; the handle stays.
  void ResetPortForExit();

  bool IsOpen() const { return open_; }
  const std::string& Description() const { return description_; }
  // The bridge's serial number (Service); the description when unread.
  const std::string& Serial() const { return serial_; }
  km7::Acquisition& Acquisition() { return *acquisition_; }
  const km7::Acquisition& Acquisition() const { return *acquisition_; }

  // The sensor's settings: windows read and change them here.
  SensorSettings& Settings() { return settings_; }
  const SensorSettings& Settings() const { return settings_; }
  // Reads the settings of `name` again (a dialog saved them, SIGHUP). A new
  // name starts the rules from a clean slate; the same name keeps them, so
  // an excursion already mailed is not mailed again.
  void ReadSettings(const std::string& name);
  // The window: the rules follow the sensor its settings are stored under,
  // with that sensor's stored rule options; the name, unit and bands are
  // the window's to keep.
  void FollowSensor(const std::string& name);
  // The rule options were saved: read them again.
  void ReadRuleOptions();

  // One display tick: the reading, the rules (mails to the worker when there
  // is one) and, for a Service session, the data log row when one is due.
  SessionStep Step(std::time_t now, alarms::MailWorker* worker);
  const SensorAlarms& Alarms() const { return alarms_; }
  // Milliseconds since the epoch of the last good reading, across openings;
  // 0 before the first.
  std::int64_t LastGoodWallMs() const { return lastGoodWallMs_; }
  // Pushes the data log rows written so far to the disk.
  void FlushLog();

  // How long a Service session waits for its thread to end when it closes.
  static constexpr unsigned kStopWaitMs = 900;

 private:
  std::shared_ptr<const D2xxLibrary> lib_;
  Holder holder_;
  std::unique_ptr<km7::Acquisition> acquisition_;
  std::string description_;
  std::string serial_;
  bool open_ = false;
  SensorSettings settings_;
  SensorAlarms alarms_;
  SensorLog log_;
  std::uint64_t cyclesSeen_ = 0;
  // When the last good reading was measured, kept across openings.
  std::int64_t lastGoodWallMs_ = 0;
};

}  // namespace km7::monitor
