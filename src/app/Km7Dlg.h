#pragma once
// The main window: the sensor's name, the three values, the unit buttons and
// the Charting, Logging and Email boxes. It owns the driver binding and the
// acquisition thread; the device operations reach it through DeviceHost.
#include <cstdint>
#include <memory>
#include <string>

#include "acquisition/Acquisition.h"
#include "acquisition/D2xxLibrary.h"
#include "acquisition/Reading.h"
#include "alarms/MailWorker.h"
#include "chart/Chart.h"
#include "chart/ChartHistory.h"
#include "ui/UiCallQueue.h"
#include "datalog/DataLog.h"
#include "devices/DeviceManager.h"
#include "monitor/SensorSession.h"
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
// The start-up's second half runs after the window's first paint, or after
// this long when the window is never exposed.
inline constexpr int kStartupUnexposedMs = 1000;

inline constexpr char kNameDriversNotFound[] = "DLL Drivers Not Found";
inline constexpr char kNameTerminating[] = "Terminating thread";

// The program's icon, in the window's title bar and in the About box.
inline constexpr char kIconName[] = "128";

ui::DialogTemplate MainWindowTemplate();

}  // namespace km7

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
  //                            log file could not be opened)
  //   OnLogging                the Logging box was clicked
  // The data log never touches the timer: these hooks stop it around its
  // dialogs and restart it after a failure was reported.
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
  //   StepSession              every tick, first: the tick's reading and
  //                            the sensor's alarm rules, their mail handed
  //                            to the mail worker
  //   StartMailWorker, StopMailWorker
  //                            start-up and exit sequence
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
  km7::monitor::SessionStep StepSession();
  // Made at once, so no alarm of the first ticks is lost; started (its
  // thread, the outbox of last time) once the window shows.
  void CreateMailWorker();
  void StartMailWorker();
  void StopMailWorker();
  // The worker's news, on this thread.
  void OnMailEvent(const km7::alarms::MailEvent& event);
  // The sensor's server settings and rules were changed: hand the worker a
  // fresh snapshot and try every waiting message again.
  void MailSettingsChanged();

  // ---- DeviceHost
  km7::MainWindowValues& Values() override { return *this; }
  km7::ui::CDialog* DialogParent() override { return this; }
  void SaveControls() override;
  void LoadControls() override;
  void StopDisplayTimer() override;
  void EnableRenameButton(bool enable) override;

  void StartDisplayTimer();
  // Queues one display tick for when the current handler is done, so the
  // values show without waiting for the timer's first period. Skipped when
  // the timer was stopped meanwhile.
  void TickSoon();
  void CloseChartWindow();
  // Closes the data log file and the e-mail diagnostic log if they are open.
  void CloseLogFiles();

  // Carries the worker's events to the window's thread; made before the
  // worker and gone after it.
  km7::ui::UiCallQueue mailEvents;
  // Sends the alarm mail; results come back through OnMailEvent.
  std::unique_ptr<km7::alarms::MailWorker> mailWorker;
  // The options the worker is made with (tests shorten the schedule).
  km7::alarms::MailWorker::Options mailOptions;
  // A failure was shown and nothing was sent since: no second box.
  bool mailOutage = false;
  // Mails given up and dropped in this run, as their boxes count them.
  unsigned mailsGivenUp = 0;
  unsigned mailsDropped = 0;
  // Alarm mails the tick handed to the worker, [temperature, humidity].
  int alarmMailsQueued[2] = {0, 0};

  // The Logging box's file and interval: they last for the whole run.
  km7::DataLog dataLog;

  // Bound once; shared with the acquisition so that a thread left behind in
  // a driver call never outlives it.
  std::shared_ptr<D2xxLibrary> driver = std::make_shared<D2xxLibrary>();
  // The one module the window measures: its opening, settings and rules.
  km7::monitor::SensorSession session{driver, km7::monitor::Holder::Window};
  km7::Acquisition& acquisition = session.Acquisition();
  // Its name, unit and trip points, as the windows share them.
  km7::OpenSensor& openSensor = session.Settings();
  km7::DeviceManager devices{*this, *driver, session};
  // Filled from the first tick on, whether or not a chart is open.
  km7::chart::History chartHistory;
  // After the session and the history: an open chart reads both, so it goes
  // first.
  km7::chart::ChartWindowHolder chartWindow{chartHistory};

 private:
  void SetUnit(int unit);
  // What the window does after a device operation.
  void Follow(km7::DeviceOutcome outcome);
  // The open module was unplugged: once it is listed again it is opened
  // anew, so measuring and its alarms resume without a click.
  void ReopenIfReplugged(const km7::Reading& reading);

  bool startupDone_ = false;
  // Steady milliseconds before which no replugged module is looked for.
  std::int64_t nextReplugCheckMs_ = 0;
  // Owns the queued calls (FinishStartup, the first tick): they go with the
  // window.
  std::unique_ptr<QObject> startupContext_;
};
