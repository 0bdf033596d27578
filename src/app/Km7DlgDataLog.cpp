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

}  // namespace

void CKm7Dlg::ResetDataLogCounters() { dataLog.ResetTiming(); }

// The display timer stands still while the data log's dialogs and message
// boxes are up, and runs again afterwards whatever came of them.
void CKm7Dlg::RestartDataLogAtStartup() {
  StopDisplayTimer();
  MainWindowLogHost host(*this);
  dataLog.RestartLoggingAtStartup(host);
  StartDisplayTimer();
}

bool CKm7Dlg::AppendLogRowIfDue(const km7::Reading& reading) {
  // No row of old values: the file shows a gap until readings come again.
  if (!reading.current) return true;
  MainWindowLogHost host(*this, &reading);
  switch (dataLog.AppendLogRowIfDue(host)) {
    case km7::RowOutcome::NotDue:
    case km7::RowOutcome::Written:
      return true;
    case km7::RowOutcome::FailedFirst:
      // The message box has been up: the timer starts a full period anew.
      StartDisplayTimer();
      return false;
    case km7::RowOutcome::Failed:
      return false;
  }
  return false;
}

void CKm7Dlg::OnLogging() {
  StopDisplayTimer();
  MainWindowLogHost host(*this);
  dataLog.OnLoggingClicked(host);
  StartDisplayTimer();
}

// The data log holds no file open between rows: its rows go to the disk. The
// mail worker keeps the e-mail diagnostic log open until now; what it has not
// sent stays in the outbox for the next start.
void CKm7Dlg::CloseLogFiles() {
  dataLog.CloseFiles();
  StopMailWorker();
}
