// From the display tick to a real SMTP server on loopback (aiosmtpd): the
// main window's alarm check, the dispatch through its session, the message as
// Python's email package reads it back, and the diagnostic log byte for byte
// apart from the timestamps. The tick is driven by hand with no module open,
// so nothing but the test writes the reading.
#include <QApplication>
#include <QMessageBox>
#include <filesystem>
#include <regex>

#include "../app/AppTestSupport.h"
#include "Harness.h"
#include "alarms/Outbox.h"
#include "support/RefusingPort.h"
#include "alarms/AlarmEmailDlg.h"
#include "platform/TempDir.h"
#include "alarms/EmailErrorLog.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "ui/DialogDriver.h"
#include "ui/MessageBox.h"

namespace km7::test {
namespace {

namespace values = km7::profile;
namespace fs = std::filesystem;

constexpr char kSensor[] = "Server Room";
constexpr char kTo[] = "oncall@example.org";
constexpr char kCc[] = "a@example.org, b@example.org";
constexpr char kFrom[] = "km7@example.org";

// The log with every timestamp replaced by "T".
std::string WithoutTimes(const std::string& log) {
  static const std::regex time("[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}");
  return std::regex_replace(log, time, "T");
}

std::string CrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class AlarmMailEndToEnd : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    // The tests of this program share one state folder: an attempt the last
    // test's exit cancelled must not go to this test's server.
    std::filesystem::remove_all(alarms::Outbox::DefaultFolder());
    ConfigureSim("");
    w = &StartMainWindow();
    // As after opening the module of that name.
    w->SetName(kSensor);
    w->openSensor.name = kSensor;
    w->openSensor.bands.temperature = AlarmBand{1, 30.0f, 1, 10.0f};
    w->openSensor.bands.humidity = AlarmBand{1, 60.0f, 0, 0.0f};
    w->CheckDlgButton(IDC_TEMP_EMAIL, 1);
    w->CheckDlgButton(IDC_HUM_EMAIL, 1);
    Tick(20.0, 45.0);  // inside both bands
    ProfileStore& s = ProfileStore::Instance();
    s.WriteText(values::EmailTempTo, kSensor, kTo);
    s.WriteText(values::EmailTempCC, kSensor, kCc);
    s.WriteText(values::EmailTempFrom, kSensor, kFrom);
    s.WriteText(values::EmailTempSubject, kSensor, "Server room too warm");
    s.WriteText(values::EmailTempBodyL2, kSensor, "Check the air conditioning.");
    s.WriteText(values::EmailTempBodyL3, kSensor, "Call facilities: 555-0100");
    s.WriteText(values::EmailTempBodyL4, kSensor, "");
    s.WriteText(values::EmailHumSubject, kSensor, "Server room too humid");
    s.WriteText(values::EmailHumBodyL2, kSensor, "Humidity line 2");
    s.WriteText(values::EmailHumBodyL3, kSensor, "Humidity line 3");
    s.WriteText(values::EmailHumBodyL4, kSensor, "Humidity line 4");
    // Humidity's own addresses are never used by the dispatch.
    s.WriteText(values::EmailHumTo, kSensor, "wrong@example.org");
    logStart_ = LogText().size();
  }

  void StartServer(const it::MailServerOptions& opt = {}) {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), opt, why)) << why;
    ProfileStore::Instance().WriteText(values::ServerName, kSensor, "127.0.0.1");
    ProfileStore::Instance().WriteInt(values::PortNumber, kSensor, server_.port());
  }

  void Tick(double temperature, double humidity, double dewPoint = 12.0) {
    Reading r = w->acquisition.Read();
    r.temperature = temperature;
    r.relativeHumidity = humidity;
    r.dewPoint = dewPoint;
    w->acquisition.Store().Put(r, SteadyMs());  // a current reading
    w->OnTimer(kDisplayTimerId);
  }

  // The tick hands the mail over; the worker sends it and reports back
  // through the window's events.
  bool WaitMessages(size_t n) { return WaitFor([&] { return server_.MessageCount() >= n; }); }
  bool WaitLog(const std::string& text) {
    return WaitFor([&] { return NewLog().find(text) != std::string::npos; });
  }
  // Long enough for a mail that should not go out to have gone out.
  void Settle() { WaitFor([] { return false; }, 1500); }

  static std::string LogText() {
    return fs::exists(alarms::EmailErrorLogPath()) ? ReadFile(alarms::EmailErrorLogPath()) : std::string();
  }
  // What this test added to the log, timestamps replaced.
  std::string NewLog() const { return WithoutTimes(LogText().substr(logStart_)); }

  // Compares spooled message `index` with what the dispatch should have sent.
  void CheckMessage(int index, int count, const std::string& subject, const std::string& body) {
    WriteFile(tmp_ / "body.txt", body);
    const it::RunResult r = it::RunProgram(
        {it::Python(), it::ScriptDir() + "/check_message.py", "--spool", server_.spool().string(),
         "--index", std::to_string(index), "--count", std::to_string(count), "--from", kFrom,
         "--from-name", kFrom, "--to", kTo, "--cc", kCc, "--mail-from", kFrom, "--rcpt",
         std::string(kTo) + "," + kCc, "--subject", subject, "--body-file",
         (tmp_ / "body.txt").string(), "--multipart", "no"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }

  // The test mail: sent by the dialog with the bracketed sender name.
  void CheckTestMail(int index, const std::string& body) {
    WriteFile(tmp_ / "body.txt", body);
    const it::RunResult r = it::RunProgram(
        {it::Python(), it::ScriptDir() + "/check_message.py", "--spool", server_.spool().string(),
         "--index", std::to_string(index), "--from", kFrom, "--from-name", std::string("<") + kFrom + ">",
         "--to", kTo, "--cc", kCc, "--subject", "Server room too warm", "--body-file",
         (tmp_ / "body.txt").string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  }

  static void WriteFile(const fs::path& p, const std::string& bytes) { it::WriteFile(p, bytes); }
  static std::string ReadFile(const std::string& p) { return it::ReadFile(p); }

  CKm7Dlg* w = nullptr;
  it::TempDir tmp_;
  it::MailServer server_;
  size_t logStart_ = 0;
};

TEST_F(AlarmMailEndToEnd, TemperatureExcursionMailsOnceAndAgainAfterReArmingInBothUnits) {
  StartServer();
  const struct {
    int unit;
    const char* firstLine;
    const char* alarmLine;
  } cases[] = {
      {1, "Sensor: Server Room   Temp: 30.4\xB0" "C  Hum: 45.0%  Dew: 12.0\xB0" "C",
       "Temperature has gone above 30.0\xB0"},
      {0, "Sensor: Server Room   Temp: 86.7\xB0" "F  Hum: 45.0%  Dew: 53.6\xB0" "F",
       "Temperature has gone above 86.0\xB0"},
  };
  int sent = 0;
  for (const auto& c : cases) {
    w->openSensor.unit = c.unit;
    const std::string body = std::string(c.firstLine) + "\n" + c.alarmLine +
                             "\nCheck the air conditioning.\nCall facilities: 555-0100\n\n\n";
    Tick(30.4, 45.0);
    ASSERT_TRUE(WaitMessages(++sent));
    Tick(30.4, 45.0);
    Tick(29.5, 45.0);  // back inside, but not by more than 1.0
    Tick(30.4, 45.0);
    ASSERT_TRUE(WaitLog("alarm mail of Server Room: sent"));
    Settle();
    EXPECT_EQ(server_.MessageCount(), static_cast<size_t>(sent));
    CheckMessage(sent, sent, "Server room too warm", body);
    const std::string log = NewLog();
    EXPECT_EQ(log.rfind("T Queued Temperature alarm mail of Server Room in ", 0), 0u) << log;
    EXPECT_NE(log.find(CrLf("\n\nLogFile version 1.15\n"
                            "T Temperature Alarm... Connecting to 127.0.0.1\n"
                            "T Status of connect to 127.0.0.1: 0\n"
                            "T Emailed a message\n"
                            "T To:" + std::string(kTo) + "\n"
                            "T Cc:" + kCc + "\n"
                            "T Subject:Server room too warm\n"
                            "T Message below\n" + body + "\n"
                            "T Attempt 1 of Temperature alarm mail of Server Room: sent\n")),
              std::string::npos)
        << log;
    logStart_ = LogText().size();
    Tick(28.9, 45.0);  // re-armed
    EXPECT_EQ(server_.MessageCount(), static_cast<size_t>(sent));
  }
  Tick(30.4, 45.0);
  EXPECT_TRUE(WaitMessages(++sent));
  EXPECT_TRUE(messages.empty()) << messages[0];
}

TEST_F(AlarmMailEndToEnd, HumidityUsesTheTemperatureRecipientsWithItsOwnSubjectAndBody) {
  StartServer();
  Tick(20.0, 61.0);
  ASSERT_TRUE(WaitMessages(1));
  ASSERT_TRUE(WaitLog("Humidity alarm mail of Server Room: sent"));
  CheckMessage(1, 1, "Server room too humid",
               "Sensor: Server Room   Temp: 20.0\xB0" "C  Hum: 61.0%  Dew: 12.0\xB0" "C\n"
               "Humidity has gone above 60.0%\nHumidity line 2\nHumidity line 3\nHumidity line 4\n\n");
  const std::string head = CrLf("\n\nLogFile version 1.15\nT Humidity Alarm... Connecting to 127.0.0.1\n");
  EXPECT_NE(NewLog().find(head), std::string::npos) << NewLog();
  EXPECT_NE(NewLog().find(CrLf("T To:oncall@example.org\n")), std::string::npos);
}

TEST_F(AlarmMailEndToEnd, SettingsComeFromTheSensorsNameWhileTheNameBoxShowsBadReadings) {
  StartServer();
  Reading bad = w->acquisition.Read();
  bad.crcErrorCount = 3;
  w->acquisition.Store().Put(bad, ReadingStore::kNoGoodReading);
  Tick(20.0, 45.0);
  ASSERT_EQ(w->GetDlgItemText(IDC_NAME), "bad reading (3)");
  Tick(31.0, 45.0);
  ASSERT_TRUE(WaitMessages(1));
  CheckMessage(1, 1, "Server room too warm",
               "Sensor: Server Room   Temp: 31.0\xB0" "C  Hum: 45.0%  Dew: 12.0\xB0" "C\n"
               "Temperature has gone above 30.0\xB0\nCheck the air conditioning.\n"
               "Call facilities: 555-0100\n\n\n");
  EXPECT_EQ(SettingsText().find("bad reading"), std::string::npos);
}

TEST_F(AlarmMailEndToEnd, RefusedConnectionGivesOneWarningAndLogsItsCause) {
  RefusingPort refusing;
  ProfileStore::Instance().WriteText(values::ServerName, kSensor, "127.0.0.1");
  ProfileStore::Instance().WriteInt(values::PortNumber, kSensor, refusing.port());
  Tick(31.0, 45.0);
  ASSERT_TRUE(WaitFor([&] { return messages.size() == 1; }));
  const std::string error = "An error occured connecting to the server, Error:8007274D\r\nDescription:";
  EXPECT_EQ(messages[0].rfind("Error: Connect to server failed with error code -1, " + error, 0), 0u)
      << messages[0];
  // The box says that km7 goes on.
  EXPECT_NE(messages[0].find("km7 keeps trying"), std::string::npos) << messages[0];
  const std::string log = NewLog();
  EXPECT_NE(log.find(CrLf("\n\nLogFile version 1.15\n"
                          "T Temperature Alarm... Connecting to 127.0.0.1\n"
                          "T Status of connect to 127.0.0.1: -1 - " + error)),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("T Attempt 1 of Temperature alarm mail of Server Room: failed, next attempt in 30 s"),
            std::string::npos)
      << log;
  EXPECT_TRUE(w->session.Alarms().State().At(alarms::Quantity::Temperature, alarms::Limit::High).fired);  // reported once
  // A second excursion while the first is still waiting: no second box.
  Tick(28.0, 45.0);
  Tick(31.0, 45.0);
  ASSERT_TRUE(WaitFor([&] { return Count(NewLog(), "Queued Temperature alarm mail of Server Room") >= 2; }));
  Settle();
  EXPECT_EQ(messages.size(), 1u);
  // It waits for the server's next knock instead of a connection of its own.
  EXPECT_EQ(Count(NewLog(), "Status of connect to 127.0.0.1: -1"), 1u) << NewLog();
  // The worker holds the log open until the exit sequence ends it.
  w->CloseLogFiles();
}

TEST_F(AlarmMailEndToEnd, ARefusedCcIsLoggedAndTheOthersStillGetTheMail) {
  it::MailServerOptions opt;
  opt.refusedRecipients = {"b@example.org"};
  StartServer(opt);
  Tick(31.0, 45.0);
  ASSERT_TRUE(WaitLog("Attempt 1 of Temperature alarm mail of Server Room: sent"));
  EXPECT_EQ(server_.MessageCount(), 1u);
  EXPECT_NE(NewLog().find("the server refused the recipient b@example.org"), std::string::npos) << NewLog();
  Settle();
  EXPECT_TRUE(messages.empty()) << messages[0];
  w->CloseLogFiles();
}

TEST_F(AlarmMailEndToEnd, RefusedRecipientLogsMinusTwoWithALineEndAndGivesUp) {
  it::MailServerOptions opt;
  opt.refusedRecipients = {kTo};
  StartServer(opt);
  Tick(31.0, 45.0);
  ASSERT_TRUE(WaitLog("Gave up Temperature alarm mail of Server Room"));
  EXPECT_EQ(server_.MessageCount(), 0u);
  const std::string log = NewLog();
  const std::string head = CrLf("\n\nLogFile version 1.15\n"
                                "T Temperature Alarm... Connecting to 127.0.0.1\n"
                                "T Status of connect to 127.0.0.1: 0\n"
                                "T Email failed with error code -2 - An error occured sending the message, Error:");
  ASSERT_NE(log.find(head), std::string::npos) << log;
  // The error text's own "\r\n" becomes "\r\r\n"; the line ends.
  EXPECT_NE(log.find("\r\r\nDescription:"), std::string::npos) << log;
  EXPECT_NE(log.find("550 5.1.1 <oncall@example.org>"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  // 5xx is for good: one attempt, given up, said once.
  ASSERT_TRUE(WaitFor([&] { return messages.size() == 1; }));
  EXPECT_NE(messages[0].find("was given up"), std::string::npos) << messages[0];
}

TEST_F(AlarmMailEndToEnd, ThreeMailsGivenUpLeaveOneBoxThatCountsThem) {
  it::MailServerOptions opt;
  opt.refusedRecipients = {kTo};
  StartServer(opt);
  ui::SetMessageHook(nullptr);  // real boxes, as the user sees them
  for (int i = 0; i < 3; ++i) {
    Tick(31.0, 45.0);
    ASSERT_TRUE(WaitFor([&] { return Count(NewLog(), "Gave up Temperature alarm mail") >= std::size_t(i + 1); }));
    Tick(28.0, 45.0);  // re-armed for the next excursion
  }
  std::vector<QMessageBox*> boxes;
  WaitFor([&] {
    boxes.clear();
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) boxes.push_back(box);
    return !boxes.empty() && boxes[0]->text().contains("3 alarm mails were given up");
  });
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0]->text().contains("3 alarm mails were given up")) << boxes[0]->text().toStdString();
  for (QMessageBox* box : boxes) box->close();
  WaitFor([] { return false; }, 200);
  w->CloseLogFiles();
}

TEST_F(AlarmMailEndToEnd, EmailBoxOpensTheSetupWhoseTestMailShowsTheTripPointsInForce) {
  StartServer();
  ui::DialogDriver(*w).PressButton(IDC_TEMP_EMAIL);  // unticked
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Email deactivated for Temperature alarms.");
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::TempEmailOnOff, kSensor), 0);

  // Ticked, then Cancel: the box clears, and so does the stored switch.
  {
    ui::ScopedModalHook hook([](ui::CDialog& d) {
      ui::DialogDriver(d).PressButton(ui::IDCANCEL);
      return ui::IDCANCEL;
    });
    ui::DialogDriver(*w).PressButton(IDC_TEMP_EMAIL);
  }
  EXPECT_EQ(w->IsDlgButtonChecked(IDC_TEMP_EMAIL), 0);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::TempEmailOnOff, kSensor), 0);

  // Ticked again: the test mail carries the trip points in force, not the
  // edited fields; OK then arms the new ones.
  {
    ui::ScopedModalHook hook([](ui::CDialog& d) {
      ui::DialogDriver(d).TypeText(alarms::IDC_ABOVE_VALUE, "25");
      ui::DialogDriver(d).TypeText(alarms::IDC_BODY2, "test line 2");
      ui::DialogDriver(d).PressButton(alarms::IDC_TEST_MAIL);
      // The test runs on its own thread; the dialog answers meanwhile.
      EXPECT_EQ(d.GetDlgItemText(alarms::IDC_TEST_MAIL), alarms::kSendingCaption);
      EXPECT_TRUE(WaitFor([&] { return d.IsItemEnabled(alarms::IDC_TEST_MAIL); }));
      ui::DialogDriver(d).PressButton(alarms::IDC_ABOVE);
      ui::DialogDriver(d).PressButton(ui::IDOK);
      return ui::IDCANCEL;
    });
    ui::DialogDriver(*w).PressButton(IDC_TEMP_EMAIL);
  }
  EXPECT_EQ(w->IsDlgButtonChecked(IDC_TEMP_EMAIL), 1);
  ASSERT_EQ(server_.MessageCount(), 1u);
  CheckTestMail(1, "Trip Points: HiTemp 30.0\xB0" "C, LoTemp 10.0\xB0" "C, HiHum 60.0%, LoHum 0.0%\n"
                   "HiTemp Alarm is Active\nLoTemp Alarm is Active\nHiHum Alarm is Active\n"
                   "LoHum Alarm is Not Active\n"
                   "Sensor: Server Room   Temp: 20.0\xB0" "C  Hum: 45.0%  Dew: 12.0\xB0" "C\n"
                   "test line 2\nCall facilities: 555-0100\n\n");
  EXPECT_NE(NewLog().find(CrLf("T Email Test button clicked\nT Status of connect to 127.0.0.1: 0 (0 is OK)\n"
                               "T Emailed a message\nT To:<oncall@example.org>\n")),
            std::string::npos)
      << NewLog();
  EXPECT_EQ(w->openSensor.bands.temperature.highActive, 1);
  EXPECT_FLOAT_EQ(w->openSensor.bands.temperature.high, 25.0f);
  Tick(26.0, 45.0);
  EXPECT_TRUE(WaitMessages(2));
}

TEST_F(AlarmMailEndToEnd, TheStoredSecurityModeReachesTheDispatchesSession) {
  // The test CA is trusted through OpenSSL's SSL_CERT_FILE, as a system
  // trust store would trust a real one.
  it::TestCertificates certs;
  ASSERT_EQ(certs.error, "");
  ScopedEnv trust("SSL_CERT_FILE", certs.ca.c_str());
  const struct {
    const char* name;
    int security;
    bool serverTls, implicitTls;
    const char* failure;  // the error code in the warning, or nullptr when delivered
  } cases[] = {
      {"starttls", 1, true, false, nullptr},
      {"implicit_tls", 2, true, true, nullptr},
      {"starttls_not_offered", 1, false, false, "8004023B"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    it::TempDir dir;
    it::MailServerOptions opt;
    if (c.serverTls) {
      opt.tlsCert = certs.good;
      opt.tlsKey = certs.key;
      opt.implicitTls = c.implicitTls;
    }
    it::MailServer server;
    std::string why;
    ASSERT_TRUE(server.Start(dir.path(), opt, why)) << why;
    ProfileStore::Instance().WriteText(values::ServerName, kSensor, "127.0.0.1");
    ProfileStore::Instance().WriteInt(values::PortNumber, kSensor, server.port());
    ProfileStore::Instance().WriteInt(values::MailSecurity, kSensor, c.security);
    messages.clear();
    w->mailOutage = false;
    logStart_ = LogText().size();
    Tick(31.0, 45.0);
    Tick(28.0, 45.0);  // re-armed for the next case
    ASSERT_TRUE(WaitLog("alarm mail of Server Room: "));
    EXPECT_EQ(server.MessageCount(), c.failure == nullptr ? 1u : 0u);
    if (c.failure != nullptr) {
      ASSERT_TRUE(WaitFor([&] { return messages.size() == 1; }));
      EXPECT_NE(messages[0].find(std::string("Error:") + c.failure), std::string::npos) << messages[0];
    } else {
      EXPECT_TRUE(messages.empty()) << messages[0];
    }
  }
}

}  // namespace
}  // namespace km7::test
