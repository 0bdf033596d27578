// The main window's hook points for the alarm e-mail (see Km7Dlg.h for when
// each is called).
#include "alarms/AlarmEmailDlg.h"
#include "app/Km7Dlg.h"

namespace {

using km7::alarms::AlarmKind;

// The alarm e-mail's view of the main window.
class MainWindowMailHost : public km7::alarms::AlarmMailHost, public km7::alarms::EmailBoxHost {
 public:
  explicit MainWindowMailHost(CKm7Dlg& window) : w_(window) {}
  void SaveControls() override { w_.SaveControls(); }
  void LoadControls() override { w_.LoadControls(); }
  std::string SettingsName() const override { return w_.sensorName; }
  km7::alarms::SensorValues CurrentValues() const override {
    const km7::Reading r = w_.acquisition.Read();
    return {r.temperature, r.relativeHumidity, r.dewPoint};
  }
  int& EmailOn(AlarmKind kind) override {
    return kind == AlarmKind::Temperature ? w_.tempEmailOn : w_.humEmailOn;
  }

 private:
  CKm7Dlg& w_;
};

// Holds the kind's idle flag at 0 for the whole dispatch, message box included.
class BusyFlag {
 public:
  explicit BusyFlag(int& flag) : flag_(flag) { flag_ = 0; }
  ~BusyFlag() { flag_ = 1; }
  BusyFlag(const BusyFlag&) = delete;
  BusyFlag& operator=(const BusyFlag&) = delete;

 private:
  int& flag_;
};

}  // namespace

void CKm7Dlg::OnTempEmail() {
  MainWindowMailHost host(*this);
  km7::alarms::OnEmailBoxClicked(AlarmKind::Temperature, host);
}

void CKm7Dlg::OnHumEmail() {
  MainWindowMailHost host(*this);
  km7::alarms::OnEmailBoxClicked(AlarmKind::Humidity, host);
}

void CKm7Dlg::SendTemperatureAlarmMail() {
  BusyFlag busy(tempMailIdle);
  MainWindowMailHost host(*this);
  mailDispatch.Send(AlarmKind::Temperature, host);
}

void CKm7Dlg::SendHumidityAlarmMail() {
  BusyFlag busy(humMailIdle);
  MainWindowMailHost host(*this);
  mailDispatch.Send(AlarmKind::Humidity, host);
}
