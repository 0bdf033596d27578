// The main window's hook points for the data log (see Km7Dlg.h for when each
// is called).
#include "alarms/EmailErrorLog.h"
#include "app/Km7Dlg.h"
#include "datalog/DataLog.h"

namespace {

// The data log's view of the main window.
class MainWindowLogHost : public km7::DataLogHost {
 public:
  // reading: the display tick's, when a row may be due.
  explicit MainWindowLogHost(CKm7Dlg& window, const km7::Reading* reading = nullptr)
      : w_(window), reading_(reading) {}
  void SaveControls() override { w_.SaveControls(); }
  void LoadControls() override { w_.LoadControls(); }
  void StopDisplayTimer() override { w_.StopDisplayTimer(); }
  void StartDisplayTimer() override { w_.StartDisplayTimer(); }
  bool LoggingOn() const override { return w_.loggingOn != 0; }
  void SetLoggingOn(bool on) override { w_.loggingOn = on ? 1 : 0; }
  std::string NameText() const override { return w_.nameText; }
  std::string SettingsName() const override { return w_.sensorName; }
  km7::LogValues CurrentValues() const override {
    const km7::Reading r = reading_ ? *reading_ : w_.acquisition.Read();
    return {r.temperature, r.relativeHumidity, r.dewPoint};
  }

 private:
  CKm7Dlg& w_;
  const km7::Reading* reading_;
};

// The logging state is the program's, not one window's: path and interval
// last for the whole run.
km7::DataLog& ProgramDataLog() {
  static km7::DataLog log;
  return log;
}

}  // namespace

void CKm7Dlg::ResetDataLogCounters() {
  ProgramDataLog().logTickCount = 0;
  ProgramDataLog().lastLogSecond = 1;
}

void CKm7Dlg::RestartDataLogAtStartup() {
  MainWindowLogHost host(*this);
  ProgramDataLog().RestartLoggingAtStartup(host);
}

bool CKm7Dlg::AppendLogRowIfDue(const km7::Reading& reading) {
  // No row of old values: the file shows a gap until readings come again.
  if (!reading.current) return true;
  MainWindowLogHost host(*this, &reading);
  return ProgramDataLog().AppendLogRowIfDue(host);
}

void CKm7Dlg::OnLogging() {
  MainWindowLogHost host(*this);
  ProgramDataLog().OnLoggingClicked(host);
}

// The data log holds no file open between rows: its rows go to the disk. The
// alarm dispatches keep the e-mail diagnostic log open until now.
void CKm7Dlg::CloseLogFiles() {
  ProgramDataLog().CloseFiles();
  km7::alarms::CloseDispatchLogStream();
}
