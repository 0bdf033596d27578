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
  int& EmailOn(AlarmKind kind) override {
    return kind == AlarmKind::Temperature ? w_.tempEmailOn : w_.humEmailOn;
  }
  void MailSettingsChanged() override { w_.MailSettingsChanged(); }

 private:
  CKm7Dlg& w_;
};

km7::alarms::RuleBand BandOf(const km7::AlarmBand& b) {
  return {b.highActive != 0, b.high, b.lowActive != 0, b.low};
}

// What the acquisition saw, in the rules' terms (their library knows nothing
// of the acquisition).
km7::alarms::SensorProblem ProblemOf(km7::ReadingFault fault) {
  switch (fault) {
    case km7::ReadingFault::Unplugged: return km7::alarms::SensorProblem::Unplugged;
    case km7::ReadingFault::NoAnswer: return km7::alarms::SensorProblem::NoAnswer;
    case km7::ReadingFault::BadCheck: return km7::alarms::SensorProblem::CrcFailures;
    case km7::ReadingFault::None: break;
  }
  return km7::alarms::SensorProblem::None;
}

}  // namespace

void CKm7Dlg::OnTempEmail() {
  MainWindowMailHost host(*this);
  km7::alarms::OnEmailBoxClicked(AlarmKind::Temperature, host);
}

void CKm7Dlg::OnHumEmail() {
  MainWindowMailHost host(*this);
  km7::alarms::OnEmailBoxClicked(AlarmKind::Humidity, host);
}

void CKm7Dlg::CheckAlarmRules(const km7::Reading& reading) {
  if (rulesSensor != sensorName) {
    // Another sensor: its own rules, from where its last run left them.
    rulesSensor = sensorName;
    rulesFile.emplace(km7::alarms::RuleStateFile::DefaultFolder(), sensorName);
    rules = rulesFile->Load(km7::NowSeconds());
    ruleOptions = km7::alarms::ReadRuleOptions(sensorName);
  }
  km7::alarms::RuleSettings settings;
  settings.temperatureOn = tempEmailOn == 1;
  settings.humidityOn = humEmailOn == 1;
  settings.temperature = BandOf(AlarmTripPoints.temperature);
  settings.humidity = BandOf(AlarmTripPoints.humidity);
  km7::alarms::ApplyRuleOptions(ruleOptions, settings);

  km7::alarms::RuleReading r;
  r.current = reading.current;
  r.temperature = reading.temperature;
  r.humidity = reading.relativeHumidity;
  r.dewPoint = reading.dewPoint;
  r.crcErrors = reading.crcFailureCount;
  const km7::AcquisitionHealth health = acquisition.Health();
  if (!reading.current) r.problem = ProblemOf(health.lastFault);
  r.measuredAt = static_cast<std::time_t>(health.lastGoodWallMs / 1000);
  km7::alarms::RuleStep step = km7::alarms::StepRules(rules, settings, r, km7::NowSeconds());
  rules = step.state;
  rulesFile->Save(rules);
  for (const km7::alarms::RuleMail& mail : step.mails)
    if (mail.kind == km7::alarms::MailKind::Alarm) ++alarmMailsQueued[int(mail.quantity)];
  if (step.mails.empty() || !mailWorker) return;
  // Composed here, where the settings are read; sent by the worker.
  const km7::alarms::MailTexts texts = km7::alarms::ReadMailTexts(sensorName);
  mailWorker->SetServer(sensorName, km7::alarms::ReadMailAccount(sensorName));
  for (const km7::alarms::RuleMail& mail : step.mails)
    mailWorker->Enqueue(km7::alarms::ComposeRuleMail(mail, sensorName, texts, settings, DisplayUnit));
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
  ruleOptions = km7::alarms::ReadRuleOptions(sensorName);
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
