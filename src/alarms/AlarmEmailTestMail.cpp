// The alarm e-mail dialog's tests, on their own thread: the connection test
// after the server settings are saved, and the test mail.
#include <memory>
#include <string>
#include <vector>

#include "alarms/AlarmEmailDlg.h"
#include "alarms/AlarmMessage.h"
#include "alarms/MailSession.h"
#include "platform/Clock.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

namespace km7::alarms {
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

void CAlarmEmail::RunConnectionTest() {
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

}  // namespace km7::alarms
