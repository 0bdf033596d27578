#pragma once
// The main window: the sensor's name, the three values, the unit buttons and
// the Charting, Logging and Email boxes. It owns the driver binding and the
// acquisition thread; the device operations reach it through DeviceHost.
#include <memory>
#include <string>

#include "acquisition/AcquisitionThread.h"
#include "acquisition/D2xxLibrary.h"
#include "acquisition/Reading.h"
#include "alarms/AlarmDispatch.h"
#include "app/AlarmCheck.h"
#include "devices/DeviceManager.h"
#include "ui/Dialog.h"

namespace km7 {

inline constexpr int kMainTemplateId = 102;
inline constexpr int IDC_TEMP_EMAIL = 1000;
inline constexpr int IDC_TEMPERATURE = 1001;
inline constexpr int IDC_HUM_EMAIL = 1002;
inline constexpr int IDC_HUMIDITY = 1003;
inline constexpr int IDC_DEW_EMAIL = 1004;
inline constexpr int IDC_DEW_POINT = 1005;
inline constexpr int IDC_FAHRENHEIT = 1006;
inline constexpr int IDC_CELSIUS = 1007;
inline constexpr int IDC_CHARTING = 1008;
inline constexpr int IDC_NAME = 1009;
inline constexpr int IDC_OPEN = 1010;
inline constexpr int IDC_RENAME = 1012;
inline constexpr int IDC_LOGGING = 1031;

// Window menu command of the About item.
inline constexpr int IDM_ABOUTBOX = 0x0010;
inline constexpr char kAboutMenuText[] = "&About km7...";

inline constexpr int kDisplayTimerId = 100;
inline constexpr int kDisplayTimerMs = 250;

inline constexpr char kNameDriversNotFound[] = "DLL Drivers Not Found";

// The program's icon, in the window's title bar and in the About box.
inline constexpr char kIconName[] = "128";

// The latches of the alarm check: set while an excursion has been reported.
struct AlarmLatchSet {
  BandLatches temperature;
  BandLatches humidity;
};

ui::DialogTemplate MainWindowTemplate();

}  // namespace km7

extern km7::AlarmLatchSet AlarmLatches;

class CKm7Dlg : public km7::ui::CDialog, public km7::MainWindowValues, public km7::DeviceHost {
 public:
  CKm7Dlg();
  ~CKm7Dlg() override;

  // Restores the settings, binds the driver and starts the idle thread; the
  // rest of the start-up runs in FinishStartup once the window shows.
  bool OnInitDialog() override;
  // Reopens the remembered module, restarts the data log and reloads that
  // module's alarm bands. Runs once, from the event loop.
  void FinishStartup();
  bool StartupDone() const { return startupDone_; }
  void DoDataExchange(km7::ui::CDataExchange& dx) override;
  // Esc, and the close box after the unit was saved: the exit sequence.
  void OnCancel() override;
  // Close box: saves the unit under the fixed name, then cancels.
  void OnClose() override;
  // The display tick: alarm check, values, chart history, log row.
  void OnTimer(int id) override;
  void OnSysCommand(int command) override;

  // Message table handlers.
  void OnOpen();
  void OnRename();
  void OnFahrenheit();
  void OnCelsius();

  // ---- Hook points for the data log, the chart and the alarm e-mail.
  // The main window calls each where its sequence needs it; the bodies live
  // in Km7DlgDataLog.cpp, Km7DlgChart.cpp and Km7DlgAlarms.cpp.
  //
  // Data log:
  //   ResetDataLogCounters     start-up: interval counter 0, last second 1
  //   RestartDataLogAtStartup  start-up, when the Logging box was restored on
  //   AppendLogRowIfDue        every tick after the display, with the tick's
  //                            reading (no row while it is not current);
  //                            returning false ends the tick (the
  //                            log file could not be opened; the hook
  //                            restarts the timer itself)
  //   OnLogging                the Logging box was clicked
  //   CloseLogFiles            exit sequence (also the e-mail diagnostic log)
  // Chart:
  //   OnCharting               the Charting box was clicked
  //   RecordChartSample        every tick, chart window open or not, with the
  //                            tick's reading; a reading that is not current
  //                            (reading.current false) is the past and must
  //                            not be recorded
  //   ReplaceChartWindow       after an open (keepHistory) and after a unit
  //                            change (history cleared); only when one is open
  //   CloseChartWindow         exit sequence
  // Alarm e-mail:
  //   OnTempEmail, OnHumEmail  the Email boxes beside T and H were clicked
  //   SendTemperatureAlarmMail, SendHumidityAlarmMail
  //                            called by the tick when a current value left
  //                            its band
  //
  // What a feature needs of the window is here already: SaveControls and
  // LoadControls (the exchange with the controls, load repaints at once),
  // StopDisplayTimer and StartDisplayTimer (timer 100, 250 ms), the members
  // loggingOn, chartingOn, tempEmailOn, humEmailOn and nameText, and
  // sensorName, the name the per-sensor settings are stored under (the name
  // box without a "bad reading" text in it).
  void ResetDataLogCounters();
  void RestartDataLogAtStartup();
  bool AppendLogRowIfDue(const km7::Reading& reading);
  void OnLogging();
  void OnCharting();
  void RecordChartSample(const km7::Reading& reading);
  void ReplaceChartWindow(bool clearHistory);
  void OnTempEmail();
  void OnHumEmail();
  void SendTemperatureAlarmMail();
  void SendHumidityAlarmMail();

  // ---- DeviceHost
  km7::MainWindowValues& Values() override { return *this; }
  km7::ui::CDialog* DialogParent() override { return this; }
  void SaveControls() override;
  void LoadControls() override;
  void StopDisplayTimer() override;
  void StartDisplayTimer() override;
  void TickSoon() override;
  void EnableRenameButton(bool enable) override;
  void ReplaceChartWindowIfOpen() override { ReplaceChartWindow(false); }
  void CloseChartWindow() override;
  void CloseLogFiles() override;
  void EndMainWindow() override;

  // 1 while no alarm dispatch of that kind runs.
  int tempMailIdle = 1;
  int humMailIdle = 1;
  // The alarm dispatches' mail session and the settings they last used.
  km7::alarms::AlarmDispatcher mailDispatch;

  D2xxLibrary driver;
  AcquisitionThread acquisition{driver};
  km7::DeviceManager devices{*this, driver, acquisition};

 private:
  void SetUnit(int unit);

  bool startupDone_ = false;
  // Owns the queued calls (FinishStartup, the first tick): they go with the
  // window.
  std::unique_ptr<QObject> startupContext_;
};
