#include "alarms/AlarmEmailDlg.h"

#include <QDesktopServices>
#include <QUrl>
#include <cctype>
#include <memory>
#include <set>
#include <vector>
#include <sys/stat.h>

#include "alarms/AlarmKindSettings.h"
#include "alarms/AlarmRulesDlg.h"
#include "alarms/MailSession.h"
#include "alarms/AlarmMessage.h"
#include "alarms/OAuthSignInDlg.h"
#include "platform/Clock.h"
#include "platform/SecureWipe.h"
#include "platform/Text.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "smtp/OAuthAccount.h"
#include "ui/MessageBox.h"
#include "ui/QtText.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;
using ui::Kind;

constexpr char kHintServer1[] = "Ex: smtp.example.com";
constexpr char kHintServer2[] = "mail.example.org";

OpenDocumentFn& OpenDocumentHook() {
  static OpenDocumentFn hook;
  return hook;
}

bool OpenDocument(const std::string& path) {
  if (OpenDocumentHook()) return OpenDocumentHook()(path);
  return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

ProfileStore& Settings() { return ProfileStore::Instance(); }


std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A decimal number and nothing else (blanks around it allowed).
bool IsNumber(const std::string& text) {
  const std::string t = Trimmed(text);
  std::size_t i = 0, digits = 0, points = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  for (; i < t.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(t[i])))
      ++digits;
    else if (t[i] == '.' && points++ == 0)
      continue;
    else
      return false;
  }
  return digits > 0;
}

// A trip point that is switched off may keep the "no value" text.
bool IsUnsetTripPoint(const std::string& text) {
  const std::string t = Trimmed(text);
  return t.empty() || t == "--";
}

std::string FahrenheitShown(const std::string& storedCelsius) {
  const float f = static_cast<float>(AtofC(storedCelsius) * 9.0 / 5.0 + 32.0);
  return FormatFixed(f, 1);
}

std::string CelsiusStored(const std::string& typedFahrenheit) {
  const float c = static_cast<float>((AtofC(typedFahrenheit) - 32.0) * 5.0 / 9.0);
  return FormatFixed(c, 3);
}

// Said once per sensor and run, not at every opening of the dialog.
bool NoteAccountProblem(const std::string& sensor) {
  static std::set<std::string> told;
  return told.insert(sensor).second;
}

}  // namespace

void SetOpenDocumentHook(OpenDocumentFn hook) { OpenDocumentHook() = std::move(hook); }

ui::DialogTemplate AlarmEmailTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "Alarm email setup dialog";
  t.width = 309;
  t.height = 300;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  constexpr std::uint32_t kLabel = kReadOnly | kNoBorder;
  t.controls = {
      {IDOK, Kind::PushButton, "OK", 252, 7, 50, 14, 0},
      {IDCANCEL, Kind::PushButton, "Cancel", 252, 24, 50, 14, 0},
      {IDC_RULES, Kind::PushButton, "Alarm rules...", 252, 41, 50, 14, 0},
      // A label of two lines, so that a sensor name of any length shows whole.
      {IDC_TITLE, Kind::Static, "", 34, 9, 214, 20, 0},
      {IDC_PROMPT, Kind::Edit, "", 3, 45, 84, 14, kLabel | kRight},
      {IDC_ABOVE, Kind::CheckBox, "above", 89, 38, 35, 10, 0},
      {IDC_BELOW, Kind::CheckBox, "below", 89, 53, 34, 10, 0},
      {IDC_ABOVE_VALUE, Kind::Edit, "", 127, 34, 24, 14, 0},
      {IDC_BELOW_VALUE, Kind::Edit, "", 127, 49, 24, 14, 0},
      {IDC_ABOVE_UNIT, Kind::Edit, "", 154, 39, 10, 14, kLabel},
      {IDC_BELOW_UNIT, Kind::Edit, "", 154, 54, 11, 14, kLabel},
      {IDC_STATIC, Kind::Static, "send email :", 168, 44, 46, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "TO:", 7, 78, 38, 8, kNoWrap},
      {IDC_TO, Kind::Edit, "", 47, 76, 162, 14, 0},
      {IDC_TEST_MAIL, Kind::PushButton, kTestMailCaption, 214, 76, 82, 33, kMultiLine},
      {IDC_STATIC, Kind::Static, "CC:", 7, 97, 38, 8, kNoWrap},
      {IDC_CC, Kind::Edit, "", 47, 95, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "NOTE: Multiple CC: recipients separated by commas.", 50, 110, 171, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "FROM: ", 7, 124, 38, 8, kNoWrap},
      {IDC_FROM, Kind::Edit, "", 47, 122, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "SUBJECT: ", 7, 142, 38, 8, kNoWrap},
      {IDC_SUBJECT, Kind::Edit, "", 47, 140, 162, 14, 0},
      {IDC_STATIC, Kind::Static, "BODY: ", 7, 160, 30, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Line 1:", 47, 160, 29, 8, kNoWrap},
      // Generated: scrolls, so that a long sensor name cuts nothing off.
      {IDC_BODY1, Kind::Edit, "", 78, 158, 213, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "Line 2:", 47, 178, 29, 8, kNoWrap},
      {IDC_BODY2, Kind::Edit, "", 78, 176, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Line 3:", 47, 196, 29, 8, kNoWrap},
      {IDC_BODY3, Kind::Edit, "", 78, 194, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Line 4:", 47, 214, 29, 8, kNoWrap},
      {IDC_BODY4, Kind::Edit, "", 78, 212, 213, 14, kNoHScroll},
      {IDC_STATIC, Kind::Static, "Server:", 7, 227, 60, 8, kNoWrap},
      {IDC_SERVER, Kind::Edit, "", 7, 236, 121, 14, kReadOnly},
      {IDC_STATIC, Kind::Static, "Port: ", 135, 227, 40, 8, kNoWrap},
      {IDC_PORT, Kind::Edit, "", 135, 236, 40, 14, kReadOnly},
      {IDC_UPDATE, Kind::PushButton, "Update", 180, 236, 50, 14, 0},
      {IDC_VIEW_LOG, Kind::PushButton, "View Log", 235, 236, 50, 14, 0},
      {IDC_HINT1, Kind::Static, kHintServer1, 11, 254, 107, 8, kNoWrap},
      {IDC_HINT2, Kind::Static, kHintServer2, 23, 262, 96, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Authentication:", 135, 251, 61, 8, kNoWrap},
      // Six units wider than 61, so that "AUTH LOGIN" shows whole beside the arrow.
      {IDC_AUTH, Kind::ComboBox, "", 135, 260, 67, 70, kDisabled},
      {IDC_STATIC, Kind::Static, "Username", 204, 261, 33, 8, kNoWrap | kRight},
      {IDC_USERNAME, Kind::Edit, "", 239, 258, 63, 14, kDisabled},
      {IDC_PASSWORD_LABEL, Kind::Static, "Password", 204, 280, 33, 8, kNoWrap | kRight},
      {IDC_PASSWORD, Kind::Edit, "", 239, 277, 63, 14, kDisabled | kPassword},
      // In the password's place while the method is OAuth 2.0.
      {IDC_SIGN_IN, Kind::PushButton, "Sign in...", 239, 277, 63, 14, kHidden | kDisabled},
      // Under the server name, where only the hidden buttons are.
      {IDC_STATIC, Kind::Static, "Security:", 7, 280, 32, 8, kNoWrap},
      {IDC_SECURITY, Kind::ComboBox, "", 41, 278, 72, 60, kDisabled},
      {IDC_TEST_MAIL_HIDDEN, Kind::PushButton, "Send test email ", 7, 278, 61, 14, kHidden},
      {IDC_INVISIBLE_DEFAULT, Kind::PushButton, "invisible Default", 75, 278, 72, 14, kHidden | kDefault},
  };
  return t;
}

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

std::string CAlarmEmail::Name(const values::Value& value) const {
  return ProfileStore::ValueName(value.pattern, sensor_.name);
}

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
  UpdateData(false);
  UpdateWindow();

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

  UpdateData(true);
  std::string problem;
  if (!ReadStoredAccount(sensor_.name, userName, password, problem) && NoteAccountProblem(sensor_.name))
    ui::ShowMessage(problem, ui::MessageIcon::Warning);
  port = s.ReadInt(Name(values::PortNumber), values::PortNumber.defaultInt);
  serverName = s.ReadText(Name(values::ServerName), values::ServerName.defaultText);
  authMethod = s.ReadInt(Name(values::Authenticate), values::Authenticate.defaultInt);
  security = ReadSecuritySetting(sensor_.name);
  oauthAccount = s.ReadText(Name(values::OAuth2Account), values::OAuth2Account.defaultText);

  UpdateData(false);
  UpdateWindow();
  ShowItem(IDC_HINT1, false);
  ShowItem(IDC_HINT2, false);
  ApplyAuthRule();
  return true;
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

void CAlarmEmail::ApplyAuthRule() {
  // No selection (an unknown method) counts as not "None".
  const int sel = ComboGetCurSel(IDC_AUTH);
  const bool enable = serverEditMode == 1 && sel != 0;
  // An access token takes the password's place: the sign-in gets it.
  const bool token = sel >= 0 && UsesAccessToken(static_cast<int>(ComboGetItemData(IDC_AUTH, sel)));
  EnableItem(IDC_USERNAME, enable);
  EnableItem(IDC_PASSWORD, enable);
  ShowItem(IDC_PASSWORD_LABEL, !token);
  ShowItem(IDC_PASSWORD, !token);
  ShowItem(IDC_SIGN_IN, token);
  EnableItem(IDC_SIGN_IN, token && enable);
}

std::string CAlarmEmail::OAuthAccountShown() const {
  return oauthAccount.empty() ? km7::oauth::DefaultAccountPath(userName) : oauthAccount;
}

void CAlarmEmail::OnSignIn() {
  userName = Trimmed(GetDlgItemText(IDC_USERNAME));
  if (userName.empty()) {
    ui::ShowMessage(kMsgSignInNeedsUser, ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_USERNAME);
    return;
  }
  // A file chosen elsewhere stays; otherwise the account's own place.
  const std::string path = OAuthAccountShown();
  COAuthSignIn signIn(userName, path, this);
  if (signIn.DoModal() != ui::IDOK) return;
  ui::ShowMessage("Signed in as " + userName + ". The account is stored in " + path +
                      "; press Save to send the alarm mail with it.",
                  ui::MessageIcon::Information);
}

void CAlarmEmail::OnAuthChange() { ApplyAuthRule(); }

bool CAlarmEmail::ValidateTripPoints() {
  const struct {
    int id;
    const std::string& text;
    int on;
    const char* which;
  } fields[] = {{IDC_ABOVE_VALUE, aboveText, above, "above"},
                {IDC_BELOW_VALUE, belowText, below, "below"}};
  for (const auto& f : fields) {
    if (IsNumber(f.text) || (f.on == 0 && IsUnsetTripPoint(f.text))) continue;
    ui::ShowMessage(std::string("Please enter a number for the \"") + f.which +
                        "\" trip point (for example 30 or 30.5).",
                    ui::MessageIcon::Warning);
    GotoDlgCtrl(f.id);
    return false;
  }
  return true;
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

bool CAlarmEmail::ValidateServerFields() {
  if (!UpdateData(true)) return false;  // the port is not a number: said so already
  if (port < 1 || port > 65535) {
    ui::ShowMessage("Please enter a port number from 1 to 65535.", ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_PORT);
    return false;
  }
  if (Trimmed(serverName).empty()) {
    ui::ShowMessage("Please enter the name of the mail server.", ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_SERVER);
    return false;
  }
  return true;
}

namespace {

// What a test on the task's thread needs: copies, so the dialog may change
// meanwhile. The credentials are wiped when it goes.
struct TestJob {
  MailAccount account;
  km7::smtp::SharedCancelToken cancel;  // raised when the dialog closes
  std::string to, cc, from, senderName, loggedTo, subject, body;
  bool sendMail = false;
  // Results.
  bool connected = false;
  int sendStatus = 0;
  std::string error;
  std::vector<std::string> boxes;  // error texts to show, in order
  std::string logProblem;          // why the log could not be opened
};

// The log lines go to the file from the task's thread, never the dialog's.
void WriteLog(TestJob& job, const std::string& lines) {
  TextFileWriter log;
  std::string why;
  if (!OpenEmailErrorLog(log, &why)) {
    if (job.logProblem.empty()) job.logProblem = std::string(kMsgLogNotOpened) + "\n" + why;
    return;
  }
  log.Write(lines);
  log.Flush();
}

void RunTest(TestJob& job) {
  CZRKSMTPConnection session;
  session.SetCancelToken(job.cancel);
  if (job.sendMail)
    WriteLog(job, logline::TestHeader(LogTimestamp(NowSeconds())) + logline::TestClicked(LogTimestamp(NowSeconds())));
  try {
    ConnectSession(session, job.account);
    job.connected = true;
  } catch (const CZRKSMTPException& e) {
    job.error = ConnectErrorText(e, "\n");
    job.boxes.push_back(job.error);
  }
  if (!job.sendMail) {
    if (job.connected) {
      try {
        session.Disconnect(true);
      } catch (const CZRKSMTPException&) {
        // The connection came up; that is what was tested.
      }
    }
    WriteLog(job, logline::Header() + logline::ServerChange(LogTimestamp(NowSeconds()), job.account.server.server,
                                                       job.connected ? 0 : -1,
                                                       job.connected ? "which is OK" : job.error));
    return;
  }
  WriteLog(job, logline::TestConnectStatus(LogTimestamp(NowSeconds()), job.account.server.server, job.connected ? 0 : -1) +
           (job.connected ? "" : logline::ConnectFailed(LogTimestamp(NowSeconds()), job.account.server.server, -1,
                                                         job.error)));
  if (!job.connected) return;
  try {
    std::unique_ptr<CZRKSMTPMessage> message =
        BuildMailMessage(job.to, job.senderName, job.from, job.cc, "", job.subject, job.body);
    session.SendMessage(*message);
  } catch (const CZRKSMTPException& e) {
    job.sendStatus = -2;
    job.error = SendErrorText(e, "\n");
    job.boxes.push_back(job.error);
  }
  const std::string time = LogTimestamp(NowSeconds());
  WriteLog(job, job.sendStatus != 0 ? logline::SendFailed(time, job.sendStatus, job.error)
                               : logline::Sent(time, job.loggedTo, job.cc, job.subject, job.body));
  try {
    session.Disconnect(true);
  } catch (const CZRKSMTPException& e) {
    job.boxes.push_back(SendErrorText(e, "\n"));
  }
}

}  // namespace

void CAlarmEmail::ShowOutcome(const std::vector<std::string>& boxes, const std::string& logProblem) {
  for (const std::string& box : boxes) ui::ShowMessage(box, ui::MessageIcon::Error);
  if (!logProblem.empty()) ui::ShowMessage(logProblem, ui::MessageIcon::Warning);
}

MailAccount CAlarmEmail::AccountShown() const {
  MailAccount a;
  a.server = ServerSettings{serverName, port, authMethod, security};
  a.userName = userName;
  a.password = password;
  if (UsesAccessToken(authMethod)) a.oauthAccount = OAuthAccountShown();
  return a;
}

void CAlarmEmail::SetBusy(bool busy) {
  for (int id : {IDC_TEST_MAIL, IDC_TEST_MAIL_HIDDEN, IDC_UPDATE}) EnableItem(id, !busy);
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

  auto job = std::make_shared<TestJob>();
  job->account = AccountShown();
  job->cancel = task_.Token();
  SetBusy(true);
  task_.Run([job] { RunTest(*job); },
            [this, job] {
              SetBusy(false);
              ShowOutcome(job->boxes, job->logProblem);
            });
}

void CAlarmEmail::OnTestMail() {
  if (task_.Running()) return;
  SetBusy(true);
  // Drawn now: the dialog's thread goes back to its events while the task runs.
  SetDlgItemText(IDC_TEST_MAIL, kSendingCaption);
  auto restore = [this] {
    SetDlgItemText(IDC_TEST_MAIL, kTestMailCaption);
    SetBusy(false);
  };
  if (!UpdateData(true)) {
    restore();
    return;
  }
  if (SendsPasswordInClear(authMethod, security)) ui::ShowMessage(kMsgPasswordInClear, ui::MessageIcon::Warning);
  if (UsesAccessToken(authMethod) && security == 0) ui::ShowMessage(kMsgTokenInClear, ui::MessageIcon::Warning);
  auto job = std::make_shared<TestJob>();
  job->account = AccountShown();
  job->cancel = task_.Token();
  job->sendMail = true;
  job->to = to;
  job->cc = cc;
  job->from = from;
  job->senderName = "<" + from + ">";
  job->loggedTo = "<" + to + ">";
  job->subject = subject;
  const std::string lines[4] = {body1, body2, body3, body4};
  job->body = TestMailBody(sensor_.bands, sensor_.unit, lines);
  task_.Run([job] { RunTest(*job); },
            [this, job, restore] {
              restore();
              ShowOutcome(job->boxes, job->logProblem);
            });
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

void OnEmailBoxClicked(AlarmKind kind, EmailBoxHost& host) {
  const bool temperature = kind == AlarmKind::Temperature;
  ProfileStore& s = Settings();
  host.SaveControls();
  const std::string sensor = host.SettingsName();
  const values::Value& onOff = SettingsOf(kind).emailOn;
  if (host.EmailOn(kind) != 1) {
    ui::ShowMessage(temperature ? "Email deactivated for Temperature alarms."
                                : "Email deactivated for Humidity alarms.",
                    ui::MessageIcon::Warning);
    s.WriteInt(onOff, sensor, 0);
    return;
  }
  host.Sensor().name = sensor == kNameDriversReady ? kNoSensorSelected : sensor;
  s.WriteInt(onOff, sensor, 1);
  CAlarmEmail dialog(kind, host.CurrentValues(), host.Sensor());
  dialog.serverSaved = [&host] { host.MailSettingsChanged(); };
  const bool ok = dialog.DoModal() == ui::IDOK;
  // Saved server settings take effect for waiting mail at once.
  host.MailSettingsChanged();
  if (!ok) {
    // Stored as the box shows it: off.
    host.SaveControls();
    host.EmailOn(kind) = 0;
    s.WriteInt(onOff, sensor, 0);
    host.LoadControls();
    return;
  }
  if (temperature)
    host.Sensor().bands.temperature = ReadTemperatureBand(sensor);
  else
    host.Sensor().bands.humidity = ReadHumidityBand(sensor);
}

}  // namespace km7::alarms
