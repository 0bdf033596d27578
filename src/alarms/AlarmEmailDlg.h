#pragma once
// The alarm e-mail setup dialog (template 131): per sensor and alarm kind the
// two trip points with their switches, the recipients, sender, subject and
// body lines; shared by both kinds the mail server, port, authentication and
// account. Sends a test mail and opens the diagnostic log.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "alarms/AlarmMessage.h"
#include "alarms/DialogMailTask.h"
#include "alarms/EmailErrorLog.h"
#include "alarms/MailSession.h"
#include "settings/OpenSensor.h"
#include "settings/ProfileStore.h"
#include "ui/Dialog.h"

namespace km7::alarms {

inline constexpr int kAlarmEmailTemplateId = 131;

inline constexpr int IDC_ABOVE = 1000;
inline constexpr int IDC_SERVER = 1001;
inline constexpr int IDC_BELOW = 1002;
inline constexpr int IDC_PORT = 1003;
inline constexpr int IDC_TO = 1005;
inline constexpr int IDC_CC = 1006;
inline constexpr int IDC_FROM = 1007;
inline constexpr int IDC_SUBJECT = 1008;
inline constexpr int IDC_UPDATE = 1014;
inline constexpr int IDC_TEST_MAIL = 1015;
inline constexpr int IDC_TITLE = 1016;
inline constexpr int IDC_ABOVE_VALUE = 1017;
inline constexpr int IDC_BELOW_VALUE = 1018;
inline constexpr int IDC_BODY1 = 1019;
inline constexpr int IDC_TEST_MAIL_HIDDEN = 1020;
inline constexpr int IDC_BODY2 = 1021;
inline constexpr int IDC_BODY3 = 1022;
inline constexpr int IDC_PROMPT = 1023;
inline constexpr int IDC_ABOVE_UNIT = 1024;
inline constexpr int IDC_BELOW_UNIT = 1025;
inline constexpr int IDC_INVISIBLE_DEFAULT = 1026;
inline constexpr int IDC_BODY4 = 1027;
inline constexpr int IDC_VIEW_LOG = 1028;
inline constexpr int IDC_HINT1 = 1029;
inline constexpr int IDC_HINT2 = 1030;
inline constexpr int IDC_AUTH = 1033;
inline constexpr int IDC_USERNAME = 1034;
inline constexpr int IDC_PASSWORD = 1035;
inline constexpr int IDC_SECURITY = 1036;
inline constexpr int IDC_RULES = 1037;
inline constexpr int IDC_PASSWORD_LABEL = 1038;
inline constexpr int IDC_SIGN_IN = 1039;

inline constexpr char kNoSensorSelected[] = "None selected...";
inline constexpr char kTestMailCaption[] = "Send test email to\nall TO: and CC: addresses listed";
inline constexpr char kSendingCaption[] = "Sending email...";
inline constexpr char kMsgNoSensor[] =
    "Error: No sensor selected.  You must first open a sensor from the main window.";
inline constexpr char kMsgLogNotShown[] = "Error: Could not open the log file.";
inline constexpr char kUnknownMethod[] = "???";
inline constexpr char kMsgTokenInClear[] =
    "With Security \"None\" the OAuth 2.0 access token goes over the network unprotected. Choose "
    "STARTTLS (or SSL/TLS) under Security.";
inline constexpr char kMsgSignInNeedsUser[] =
    "Please enter the mail address of the account under Username first: the sign-in is for it.";
inline constexpr char kMsgPasswordInClear[] =
    "With Security \"None\" and AUTH LOGIN or AUTH PLAIN the password goes over the network "
    "unprotected. Choose STARTTLS (or SSL/TLS, if the server takes TLS from the first byte) under "
    "Security.";

ui::DialogTemplate AlarmEmailTemplate();

// Opens a file in the user's viewer; false when that could not be started.
// Tests replace it; nullptr restores the desktop's.
using OpenDocumentFn = std::function<bool(const std::string& path)>;
void SetOpenDocumentHook(OpenDocumentFn hook);

class CAlarmEmail : public ui::CDialog {
 public:
  // latest: the reading body line 1 shows. sensor: the open sensor, whose
  // name the settings are stored under and whose unit the dialog shows.
  CAlarmEmail(AlarmKind kind, const SensorValues& latest, OpenSensor& sensor);
  ~CAlarmEmail() override;

  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;
  void OnOK() override;

  void OnUpdateServer();
  void OnTestMail();
  void OnViewLog();
  void OnAuthChange();
  void OnRules();
  // "Sign in..." of the OAuth 2.0 method: the device sign-in for the
  // account named under Username.
  void OnSignIn();
  // A connection test or test mail is running on its own thread.
  bool TestRunning() const { return task_.Running(); }

  bool InEditMode() const { return serverEditMode != 0; }

  AlarmKind kind;
  SensorValues latest;
  int serverEditMode = 0;

  std::string title, prompt, aboveUnit, belowUnit;
  std::string serverName = "Enter your server name here";
  std::string to, cc, from, subject;
  std::string body1, body2, body3, body4;
  std::string aboveText, belowText;
  std::string userName, password;
  int port = 25;
  int above = 0;
  int below = 0;
  int authMethod = 0;
  int security = 0;
  // The OAuth 2.0 account file; empty: the default place for the user name.
  std::string oauthAccount;

  // Called when server settings or rules were saved.
  std::function<void()> serverSaved;

 private:
  // A per-sensor value's name under the open sensor.
  std::string Name(const km7::profile::Value& value) const;
  OpenSensor& sensor_;
  // OnInitDialog's steps: the alarm kind's fields, the choices of the lists,
  // and the server and account shared by both kinds.
  void LoadKindFields();
  void FillChoices();
  void LoadServerFields();
  void ExchangeItemData(ui::CDataExchange& dx, int id, int& value);
  void ApplyAuthRule();
  std::string OAuthAccountShown() const;
  void SetServerEditing(bool editing);
  bool ValidateServerFields();
  bool ValidateTripPoints();
  MailAccount AccountShown() const;
  void SetBusy(bool busy);
  void ShowOutcome(const std::vector<std::string>& boxes, const std::string& logProblem);
  // After the server settings were saved: connects with them on the task.
  void RunConnectionTest();

  // Tests run here, each with its own session; closing the dialog drops
  // the result of one still running.
  DialogMailTask task_;
};

// What the Email boxes beside T and H need of the main window.
class EmailBoxHost {
 public:
  virtual ~EmailBoxHost() = default;
  virtual void SaveControls() = 0;
  virtual void LoadControls() = 0;
  // The name the open sensor's settings are stored under, or the status
  // word the name box shows while none is open.
  virtual std::string SettingsName() const = 0;
  virtual int& EmailOn(AlarmKind kind) = 0;
  // The open sensor the windows share.
  virtual OpenSensor& Sensor() = 0;
  virtual SensorValues CurrentValues() const = 0;
  // The sensor's server settings or rules may have been saved.
  virtual void MailSettingsChanged() {}
};

// A click on the temperature or humidity Email box: ticked opens the setup
// dialog (Cancel clears the box again), unticked switches that alarm's mail
// off.
void OnEmailBoxClicked(AlarmKind kind, EmailBoxHost& host);

}  // namespace km7::alarms
