// The main window's hook points for the alarm e-mail (see Km7Dlg.h for when
// each is called).

#include "alarms/AlarmEmailDlg.h"
#include "app/Km7Dlg.h"
#include "platform/Clock.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

namespace {

using km7::alarms::AlarmKind;
using km7::alarms::MailEvent;

// The alarm e-mail's view of the main window.
class MainWindowMailHost : public km7::alarms::EmailBoxHost {
 public:
  explicit MainWindowMailHost(CKm7Dlg& window) : w_(window) {}
  void SaveControls() override { w_.SaveControls(); }
  void LoadControls() override { w_.LoadControls(); }
  std::string SettingsName() const override { return w_.sensorName; }
  km7::alarms::SensorValues CurrentValues() const override {
    const km7::Reading r = w_.acquisition.Read();
    return {r.temperature, r.relativeHumidity, r.dewPoint};
  }
  km7::OpenSensor& Sensor() override { return w_.openSensor; }
  int& EmailOn(AlarmKind kind) override {
    return kind == AlarmKind::Temperature ? w_.tempEmailOn : w_.humEmailOn;
  }
  void MailSettingsChanged() override { w_.MailSettingsChanged(); }

 private:
  CKm7Dlg& w_;
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

km7::monitor::SessionStep CKm7Dlg::StepSession() {
  // Another sensor: its own rules, from where its last run left them.
  session.FollowSensor(sensorName);
  // What the window shows is what counts: its Email boxes.
  km7::monitor::SensorSettings& settings = session.Settings();
  settings.temperatureMailOn = tempEmailOn == 1;
  settings.humidityMailOn = humEmailOn == 1;
  km7::monitor::SessionStep step = session.Step(km7::NowSeconds(), mailWorker.get());
  for (const km7::alarms::RuleMail& mail : step.mails)
    if (mail.kind == km7::alarms::MailKind::Alarm) ++alarmMailsQueued[int(mail.quantity)];
  return step;
}

void CKm7Dlg::CreateMailWorker() {
  if (mailWorker) return;
  mailWorker = std::make_unique<km7::alarms::MailWorker>(
      mailOptions, [this, post = mailEvents.MakePoster()](const MailEvent& e) {
        // Called on the worker's thread; Stop ends these calls before the
        // window goes.
        post([this, e] { OnMailEvent(e); });
      });
}

void CKm7Dlg::StartMailWorker() {
  CreateMailWorker();
  mailWorker->SetServer(sensorName, km7::alarms::ReadMailAccount(sensorName));
  mailWorker->Start();
}

void CKm7Dlg::StopMailWorker() {
  if (mailWorker) mailWorker->Stop();
}

void CKm7Dlg::MailSettingsChanged() {
  session.ReadRuleOptions();
  if (!mailWorker) return;
  mailWorker->SetServer(sensorName, km7::alarms::ReadMailAccount(sensorName));
  mailWorker->RetryNow();
}

void CKm7Dlg::OnMailEvent(const MailEvent& e) {
  using Type = MailEvent::Type;
  using km7::ui::MessageIcon;
  // One box per kind of trouble; while it is open it takes the latest news.
  switch (e.type) {
    case Type::Sent:
      mailOutage = false;
      break;
    case Type::NeedServer:
      mailWorker->SetServer(e.sensor, km7::alarms::ReadMailAccount(e.sensor));
      break;
    case Type::Failed:
      // One box per outage; the worker goes on while it is open.
      if (mailOutage) break;
      mailOutage = true;
      km7::ui::ShowStatusMessage("mail failing",
                                 std::string("Error: ") +
                                     (e.connectFailed ? "Connect to server failed with error code -1, "
                                                      : "Sending the alarm mail failed with error code -2, ") +
                                     e.text + ".\n\nkm7 keeps trying to send the alarm mail.",
                                 MessageIcon::Warning);
      break;
    case Type::GivenUp: {
      const std::string more = ++mailsGivenUp > 1 ? "\n\n" + std::to_string(mailsGivenUp) +
                                                       " alarm mails were given up since km7 started."
                                                 : std::string();
      km7::ui::ShowStatusMessage(
          "mail given up", "The " + e.kind + " alarm mail of " + e.sensor + " was given up: " + e.text + "." + more,
          MessageIcon::Warning);
      break;
    }
    case Type::Dropped: {
      const std::string more = ++mailsDropped > 1 ? "\n\n" + std::to_string(mailsDropped) +
                                                       " alarm mails were dropped since km7 started."
                                                 : std::string();
      km7::ui::ShowStatusMessage("mail dropped", e.text + more, MessageIcon::Warning);
      break;
    }
    case Type::OutboxProblem:
      km7::ui::ShowStatusMessage("outbox", e.text, MessageIcon::Warning);
      break;
    case Type::LogProblem:
      km7::ui::ShowStatusMessage("mail log", e.text, MessageIcon::Warning);
      break;
    case Type::ServerFailing:
    case Type::ServerBack:
      break;  // the outage's box comes with its first failed attempt
  }
}
