// The alarm e-mail setup dialog: loading and saving its fields.
#include "alarms/AlarmEmailDlg.h"

#include <QDesktopServices>
#include <QUrl>
#include <set>
#include <sys/stat.h>

#include "alarms/AlarmEmailFields.h"
#include "alarms/AlarmKindSettings.h"
#include "alarms/AlarmMessage.h"
#include "alarms/AlarmRulesDlg.h"
#include "alarms/MailSession.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "settings/OpenSensor.h"
#include "settings/ProfileStore.h"
#include "ui/MessageBox.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;

OpenDocumentFn& OpenDocumentHook() {
  static OpenDocumentFn hook;
  return hook;
}

bool OpenDocument(const std::string& path) {
  if (OpenDocumentHook()) return OpenDocumentHook()(path);
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

ProfileStore& Settings() { return ProfileStore::Instance(); }

using email::CelsiusStored;
using email::FahrenheitShown;
using email::IsUnsetTripPoint;

// Said once per sensor and run, not at every opening of the dialog.
bool NoteAccountProblem(const std::string& sensor) {
  static std::set<std::string> told;
  return told.insert(sensor).second;
}

}  // namespace

void SetOpenDocumentHook(OpenDocumentFn hook) { OpenDocumentHook() = std::move(hook); }

CAlarmEmail::CAlarmEmail(AlarmKind alarmKind, const SensorValues& latestValues, OpenSensor& sensor)
    : CDialog(AlarmEmailTemplate()), kind(alarmKind), latest(latestValues), sensor_(sensor) {
  SetMessageTable<CAlarmEmail>({
      {ui::Notify::Clicked, IDC_UPDATE, &CAlarmEmail::OnUpdateServer},
      {ui::Notify::Clicked, IDC_TEST_MAIL, &CAlarmEmail::OnTestMail},
      {ui::Notify::Clicked, IDC_VIEW_LOG, &CAlarmEmail::OnViewLog},
      {ui::Notify::SelChange, IDC_AUTH, &CAlarmEmail::OnAuthChange},
      {ui::Notify::Clicked, IDC_RULES, &CAlarmEmail::OnRules},
      {ui::Notify::Clicked, IDC_SIGN_IN, &CAlarmEmail::OnSignIn},
  });
  // Enter lands on the hidden default button, which does nothing.
  Bind(ui::Notify::Clicked, IDC_INVISIBLE_DEFAULT, [] {});
}

std::string CAlarmEmail::Name(const values::Value& value) const { return email::SettingName(value, sensor_.name); }

CAlarmEmail::~CAlarmEmail() {
  km7::Wipe(userName);
  km7::Wipe(password);
}

void CAlarmEmail::DoDataExchange(ui::CDataExchange& dx) {
  using namespace km7::ui;
  DDX_Text(dx, IDC_TITLE, title);
  DDX_Text(dx, IDC_PROMPT, prompt);
  DDX_Text(dx, IDC_ABOVE_UNIT, aboveUnit);
  DDX_Text(dx, IDC_BELOW_UNIT, belowUnit);
  DDX_Check(dx, IDC_ABOVE, above);
  DDX_Check(dx, IDC_BELOW, below);
  DDX_Text(dx, IDC_ABOVE_VALUE, aboveText);
  DDX_Text(dx, IDC_BELOW_VALUE, belowText);
  DDX_Text(dx, IDC_TO, to);
  DDX_Text(dx, IDC_CC, cc);
  DDX_Text(dx, IDC_FROM, from);
  DDX_Text(dx, IDC_SUBJECT, subject);
  DDX_Text(dx, IDC_BODY1, body1);
  DDX_Text(dx, IDC_BODY2, body2);
  DDX_Text(dx, IDC_BODY3, body3);
  DDX_Text(dx, IDC_BODY4, body4);
  DDX_Text(dx, IDC_SERVER, serverName);
  DDX_Text(dx, IDC_USERNAME, userName);
  DDX_Text(dx, IDC_PASSWORD, password);
  ExchangeItemData(dx, IDC_AUTH, authMethod);
  ExchangeItemData(dx, IDC_SECURITY, security);
  // Last, so that a port that is not a number stops nothing else.
  DDX_Text(dx, IDC_PORT, port);
}

bool CAlarmEmail::OnInitDialog() {
  CDialog::OnInitDialog();
  serverEditMode = 0;
  UpdateData(true);
  if (sensor_.name == kNoSensorSelected) ui::ShowMessage(kMsgNoSensor, ui::MessageIcon::Warning);
  LoadKindFields();
  UpdateData(false);
  UpdateWindow();
  FillChoices();
  UpdateData(true);
  LoadServerFields();
  UpdateData(false);
  UpdateWindow();
  ShowItem(IDC_HINT1, false);
  ShowItem(IDC_HINT2, false);
  ApplyAuthRule();
  return true;
}

void CAlarmEmail::LoadKindFields() {
  body1 = ReadingLine(sensor_.name, latest, sensor_.unit);
  const bool temperature = kind == AlarmKind::Temperature;
  const bool fahrenheit = sensor_.unit != kUnitCelsius;
  const AlarmKindSettings& k = SettingsOf(kind);
  ProfileStore& s = Settings();
  auto text = [&](const values::Value& v) { return s.ReadText(Name(v), v.defaultText); };
  body2 = text(k.bodyL2);
  body3 = text(k.bodyL3);
  body4 = text(k.bodyL4);
  to = text(k.to);
  cc = text(k.cc);
  from = text(k.from);
  subject = text(k.subject);
  aboveText = text(k.aboveLimit);
  belowText = text(k.belowLimit);
  // Temperatures are stored in °C and shown in the display unit.
  if (temperature && fahrenheit) {
    aboveText = FahrenheitShown(aboveText);
    belowText = FahrenheitShown(belowText);
  }
  above = s.ReadInt(Name(k.aboveOn), 0);
  below = s.ReadInt(Name(k.belowOn), 0);
  title = std::string(temperature ? "Temperature" : "Humidity") + " alarm setup screen for sensor: " +
          sensor_.name;
  prompt = temperature ? "       If temperature goes" : "             If humidity goes";
  if (temperature) {
    aboveUnit = belowUnit = fahrenheit ? "\xB0" "F" : "\xB0" "C";
  } else {
    // One character assigned as a count: GCC 12's optimiser reports a false
    // overlap for a one-letter literal here.
    aboveUnit.assign(1, '%');
    belowUnit = aboveUnit;
  }
}

void CAlarmEmail::FillChoices() {
  static constexpr std::pair<const char*, SMTPAuthMethod> kMethods[] = {
      {"None", SMTPAuthMethod::None},        {"CRAM MD5", SMTPAuthMethod::CramMd5},
      {"AUTH LOGIN", SMTPAuthMethod::Login}, {"AUTH PLAIN", SMTPAuthMethod::Plain},
      {"NTLM", SMTPAuthMethod::Ntlm},        {"Auto Detect", SMTPAuthMethod::AutoDetect},
  };
  ComboResetContent(IDC_AUTH);
  for (const auto& [label, method] : kMethods) {
    const int index = ComboAddString(IDC_AUTH, label);
    ComboSetItemData(IDC_AUTH, index, static_cast<std::intptr_t>(method));
  }
  ComboSetItemData(IDC_AUTH, ComboAddString(IDC_AUTH, "OAuth 2.0"), kAuthOAuth2);
  static constexpr std::pair<const char*, SMTPSecurity> kSecurity[] = {
      {"None", SMTPSecurity::None}, {"STARTTLS", SMTPSecurity::StartTls}, {"SSL/TLS", SMTPSecurity::Tls}};
  ComboResetContent(IDC_SECURITY);
  for (const auto& [label, mode] : kSecurity) {
    const int index = ComboAddString(IDC_SECURITY, label);
    ComboSetItemData(IDC_SECURITY, index, static_cast<std::intptr_t>(mode));
  }
}

void CAlarmEmail::LoadServerFields() {
  ProfileStore& s = Settings();
  std::string problem;
  if (!ReadStoredAccount(sensor_.name, userName, password, problem) && NoteAccountProblem(sensor_.name))
    ui::ShowMessage(problem, ui::MessageIcon::Warning);
  port = s.ReadInt(Name(values::PortNumber), values::PortNumber.defaultInt);
  serverName = s.ReadText(Name(values::ServerName), values::ServerName.defaultText);
  authMethod = s.ReadInt(Name(values::Authenticate), values::Authenticate.defaultInt);
  security = ReadSecuritySetting(sensor_.name);
  oauthAccount = s.ReadText(Name(values::OAuth2Account), values::OAuth2Account.defaultText);
}

void CAlarmEmail::ExchangeItemData(ui::CDataExchange& dx, int id, int& value) {
  // The value is the selected item's data; no selection reads as 0. A value
  // no item has shows as "???".
  if (dx.Saving()) {
    const int sel = ComboGetCurSel(id);
    value = sel >= 0 ? static_cast<int>(ComboGetItemData(id, sel)) : 0;
  } else {
    int found = -1;
    for (int i = 0; i < ComboGetCount(id); ++i)
      if (ComboGetItemData(id, i) == value) found = i;
    ComboSetCurSel(id, found);
    if (found < 0) SetDlgItemText(id, kUnknownMethod);
  }
}

void CAlarmEmail::OnOK() {
  if (!UpdateData(true)) return;
  if (!ValidateTripPoints()) return;
  ProfileStore& s = Settings();
  const bool temperature = kind == AlarmKind::Temperature;

  // The other kind's recipients and sender are seeded while they still hold
  // the placeholder (or nothing).
  const AlarmKindSettings& own = SettingsOf(kind);
  const AlarmKindSettings& other = SettingsOf(OtherKind(kind));
  struct Seeded {
    const values::Value& own;
    const values::Value& other;
    const std::string& text;
  };
  const Seeded seeded[] = {{own.to, other.to, to}, {own.cc, other.cc, cc}, {own.from, other.from, from}};
  for (const Seeded& v : seeded) {
    s.WriteText(Name(v.own), v.text);
    const std::string stored = s.ReadText(Name(v.other), v.own.seedDefault);
    if (EqualsIgnoringCase(stored, v.own.seedDefault)) s.WriteText(Name(v.other), v.text);
  }

  s.WriteText(Name(own.bodyL2), body2);
  s.WriteText(Name(own.bodyL3), body3);
  s.WriteText(Name(own.bodyL4), body4);
  s.WriteText(Name(own.subject), subject);

  if (temperature && sensor_.unit != kUnitCelsius) {
    // Stored in °C; a switched-off field left without a value stays so.
    if (!IsUnsetTripPoint(aboveText)) aboveText = CelsiusStored(aboveText);
    if (!IsUnsetTripPoint(belowText)) belowText = CelsiusStored(belowText);
    UpdateData(false);
  }
  s.WriteText(Name(own.aboveLimit), aboveText);
  s.WriteText(Name(own.belowLimit), belowText);
  s.WriteInt(Name(own.belowOn), below);
  s.WriteInt(Name(own.aboveOn), above);
  EndDialog(ui::IDOK);
}

void CAlarmEmail::SetServerEditing(bool editing) {
  for (int id : {int(ui::IDOK), int(ui::IDCANCEL), IDC_TEST_MAIL, IDC_TEST_MAIL_HIDDEN, IDC_VIEW_LOG})
    EnableItem(id, !editing);
  SetDlgItemText(IDC_UPDATE, editing ? "Save" : "Update");
  SetItemReadOnly(IDC_SERVER, !editing);
  SetItemReadOnly(IDC_PORT, !editing);
  EnableItem(IDC_AUTH, editing);
  EnableItem(IDC_SECURITY, editing);
  SetItemReadOnly(IDC_USERNAME, !editing);
  SetItemReadOnly(IDC_PASSWORD, !editing);
  ShowItem(IDC_HINT1, editing);
  ShowItem(IDC_HINT2, editing);
  serverEditMode = editing ? 1 : 0;
  ApplyAuthRule();
}

void CAlarmEmail::OnUpdateServer() {
  if (serverEditMode == 0) {
    SetServerEditing(true);
    return;
  }
  // Nothing is written until every field can be stored; editing goes on.
  if (!ValidateServerFields()) return;
  if (SendsPasswordInClear(authMethod, security))
    ui::ShowMessage(kMsgPasswordInClear, ui::MessageIcon::Warning);
  if (UsesAccessToken(authMethod) && security == 0) ui::ShowMessage(kMsgTokenInClear, ui::MessageIcon::Warning);
  ProfileStore& s = Settings();
  s.WriteText(Name(values::ServerName), serverName);
  s.WriteInt(Name(values::PortNumber), port);
  s.WriteInt(Name(values::Authenticate), authMethod);
  s.WriteInt(Name(values::MailSecurity), security);
  s.WriteText(Name(values::OAuth2Account), oauthAccount);
  if (!s.WriteProtectedText(Name(values::UsernameE), userName) ||
      !s.WriteProtectedText(Name(values::PasswordE), password))
    ui::ShowMessage("The account name or password could not be stored protected; the stored one is kept.",
                    ui::MessageIcon::Warning);
  SetServerEditing(false);
  UpdateData(true);
  serverName = s.ReadText(Name(values::ServerName), values::ServerName.defaultText);
  // Waiting alarm mail is tried again with these settings at once.
  if (serverSaved) serverSaved();
  RunConnectionTest();
}

void CAlarmEmail::OnRules() {
  CAlarmRules rules(sensor_.name, sensor_.unit, this);
  if (rules.DoModal() == ui::IDOK && serverSaved) serverSaved();
}

void CAlarmEmail::OnViewLog() {
  const std::string path = EmailErrorLogPath();
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !OpenDocument(path))
    ui::ShowMessage(kMsgLogNotShown, ui::MessageIcon::Warning);
}

}  // namespace km7::alarms
