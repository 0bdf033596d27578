// The alarm e-mail setup dialog, driven as a user would (offscreen): trip
// points in both units, seeding of the other kind's addresses, edit mode and
// the authentication choice, the protected account, bad input, the Email
// boxes' handlers, View Log, and screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "AlarmTestSupport.h"
#include "Harness.h"
#include "alarms/AlarmEmailDlg.h"
#include "alarms/AlarmRulesDlg.h"
#include "alarms/MailSession.h"
#include "platform/DataProtection.h"
#include "platform/TempDir.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "ui/DialogDriver.h"
#include "ui/MessageBox.h"

namespace km7::alarms {
namespace {

namespace values = km7::profile;
namespace fs = std::filesystem;

constexpr SensorValues kLatest{20.0, 49.419, 9.08};

ProfileStore& Settings() { return ProfileStore::Instance(); }
std::string Read(const values::Value& v) { return Settings().ReadText(v, "Lab"); }
std::string SettingsFile() { return test::ReadFile(Settings().FilePath()); }

class AlarmEmailDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove(Settings().FilePath(), ec);
    fs::remove(EmailErrorLogPath(), ec);
    sensor = OpenSensor{"Lab", kUnitCelsius, {}};
    ui::SetMessageHook([this](const std::string& text, ui::MessageIcon, const std::string&) {
      messages.push_back(text);
    });
  }
  void TearDown() override {
    ui::SetMessageHook(nullptr);
    SetOpenDocumentHook(nullptr);
  }

  // Runs the dialog modally; drive acts on it while it is open.
  int Run(AlarmKind kind, const std::function<void(CAlarmEmail&)>& drive) {
    ui::ScopedModalHook hook([&](ui::CDialog& d) {
      drive(dynamic_cast<CAlarmEmail&>(d));
      return ui::IDCANCEL;
    });
    CAlarmEmail dlg(kind, kLatest, sensor);
    return dlg.DoModal();
  }
  // The connection test or test mail runs on its own thread; the dialog
  // keeps answering meanwhile. Waits for its outcome.
  static void WaitTest(CAlarmEmail& d) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (d.TestRunning() && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(d.TestRunning());
  }
  // Stores the server settings under "Lab" through the dialog's Save.
  void SaveServer(const std::string& server, const std::string& port, int methodIndex,
                  const std::string& user, const std::string& password) {
    Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
      ui::DialogDriver(d).PressButton(IDC_UPDATE);
      ui::DialogDriver(d).TypeText(IDC_SERVER, server);
      ui::DialogDriver(d).TypeText(IDC_PORT, port);
      ui::DialogDriver(d).SelectListItem(IDC_AUTH, methodIndex);
      ui::DialogDriver(d).TypeText(IDC_USERNAME, user);
      ui::DialogDriver(d).TypeText(IDC_PASSWORD, password);
      ui::DialogDriver(d).PressButton(IDC_UPDATE);
      WaitTest(d);
    });
  }

  std::vector<std::string> messages;
  OpenSensor sensor;
};

TEST_F(AlarmEmailDlgTest, FahrenheitTripPointsAreStoredInCelsiusAndShownBack) {
  sensor.unit = 0;
  const struct {
    const char* typed;
    const char* stored;
    const char* shown;
  } cases[] = {{"77", "25.000", "77.0"}, {"-40", "-40.000", "-40.0"},
               {"32", "0.000", "32.0"},  {"98.6", "37.000", "98.6"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Run(AlarmKind::Temperature,
                  [&](CAlarmEmail& d) {
                    EXPECT_EQ(d.GetDlgItemText(IDC_ABOVE_UNIT), "\xB0" "F");
                    ui::DialogDriver(d).TypeText(IDC_ABOVE_VALUE, c.typed);
                    ui::DialogDriver(d).TypeText(IDC_BELOW_VALUE, c.typed);
                    ui::DialogDriver(d).PressButton(IDC_ABOVE);
                    ui::DialogDriver(d).PressButton(ui::IDOK);
                  }),
              ui::IDOK);
    EXPECT_EQ(Read(values::EmailTempAboveTemp), c.stored) << c.typed;
    EXPECT_EQ(Read(values::EmailTempBelowTemp), c.stored) << c.typed;
    EXPECT_EQ(Settings().ReadInt(values::EmailTempAbove, "Lab"), 1);
    EXPECT_EQ(Settings().ReadInt(values::EmailTempBelow, "Lab"), 0);
    Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
      EXPECT_EQ(d.GetDlgItemText(IDC_ABOVE_VALUE), c.shown);
      EXPECT_EQ(d.GetDlgItemText(IDC_BELOW_VALUE), c.shown);
      EXPECT_EQ(d.IsDlgButtonChecked(IDC_ABOVE), 1);
      ui::DialogDriver(d).PressButton(IDC_ABOVE);  // off again for the next case
      ui::DialogDriver(d).PressButton(ui::IDOK);
    });
  }
}

TEST_F(AlarmEmailDlgTest, AbsentTripPointsShowAsNoValueOrAsZeroDegreesInFahrenheit) {
  const struct {
    AlarmKind kind;
    int unit;
    const char* shown;
    const char* stored;
  } cases[] = {{AlarmKind::Temperature, 1, "--", "--"},
               {AlarmKind::Temperature, 0, "32.0", "0.000"},
               {AlarmKind::Humidity, 0, "--", "--"},
               {AlarmKind::Humidity, 1, "--", "--"}};
  for (const auto& c : cases) {
    std::error_code ec;
    fs::remove(Settings().FilePath(), ec);
    sensor.unit = c.unit;
    Run(c.kind, [&](CAlarmEmail& d) {
      EXPECT_EQ(d.GetDlgItemText(IDC_ABOVE_VALUE), c.shown);
      EXPECT_EQ(d.GetDlgItemText(IDC_BELOW_VALUE), c.shown);
      ui::DialogDriver(d).PressButton(ui::IDOK);
    });
    const auto& above = c.kind == AlarmKind::Temperature ? values::EmailTempAboveTemp : values::EmailHumAboveTemp;
    EXPECT_EQ(Read(above), c.stored) << c.unit;
  }
}

TEST_F(AlarmEmailDlgTest, TitlesPromptsUnitsAndTheReadingLine) {
  sensor.name = "Rack 5%s";
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    EXPECT_EQ(d.GetDlgItemText(IDC_TITLE), "Temperature alarm setup screen for sensor: Rack 5%s");
    EXPECT_EQ(d.GetDlgItemText(IDC_PROMPT), "       If temperature goes");
    EXPECT_EQ(d.GetDlgItemText(IDC_BODY1),
              "Sensor: Rack 5%s   Temp: 20.0\xB0" "C  Hum: 49.4%  Dew: 9.1\xB0" "C");
    EXPECT_EQ(d.GetDlgItemText(IDC_TO), values::kToPlaceholder);
    EXPECT_EQ(d.GetDlgItemText(IDC_SERVER), values::kDefaultServer);
    EXPECT_EQ(d.GetDlgItemText(IDC_PORT), "25");
    EXPECT_EQ(d.GetDlgItemText(IDC_AUTH), "None");
  });
  Run(AlarmKind::Humidity, [&](CAlarmEmail& d) {
    EXPECT_EQ(d.GetDlgItemText(IDC_TITLE), "Humidity alarm setup screen for sensor: Rack 5%s");
    EXPECT_EQ(d.GetDlgItemText(IDC_PROMPT), "             If humidity goes");
    EXPECT_EQ(d.GetDlgItemText(IDC_BELOW_UNIT), "%");
    EXPECT_EQ(d.GetDlgItemText(IDC_TO), "Enter email recipient's address here.");
    EXPECT_EQ(d.GetDlgItemText(IDC_CC), "Enter email message CC address here.");
  });
  EXPECT_TRUE(messages.empty());
  sensor.name = kNoSensorSelected;
  Run(AlarmKind::Temperature, [](CAlarmEmail&) {});
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], kMsgNoSensor);
}

TEST_F(AlarmEmailDlgTest, OkSeedsTheOtherKindOnlyFromAbsentOrTemperaturePlaceholders) {
  const struct {
    AlarmKind kind;
    const char* otherTo;  // nullptr: absent
    bool seeded;
  } cases[] = {
      {AlarmKind::Temperature, nullptr, true},
      {AlarmKind::Temperature, "ENTER EMAIL RECIPIENT'S ADDRESS HERE (ONE ADDRESS).", true},
      {AlarmKind::Temperature, "Enter email recipient's address here.", false},  // humidity's own
      {AlarmKind::Temperature, "ops@example.org", false},
      {AlarmKind::Humidity, nullptr, true},
      {AlarmKind::Humidity, "Enter email recipient's address here (one address).", true},
      {AlarmKind::Humidity, "ops@example.org", false},
  };
  for (const auto& c : cases) {
    std::error_code ec;
    fs::remove(Settings().FilePath(), ec);
    const bool temp = c.kind == AlarmKind::Temperature;
    const auto& otherTo = temp ? values::EmailHumTo : values::EmailTempTo;
    const auto& otherCc = temp ? values::EmailHumCC : values::EmailTempCC;
    const auto& otherFrom = temp ? values::EmailHumFrom : values::EmailTempFrom;
    if (c.otherTo) {
      Settings().WriteText(otherTo, "Lab", c.otherTo);
      Settings().WriteText(otherCc, "Lab", "keep@example.org");
    }
    Run(c.kind, [&](CAlarmEmail& d) {
      ui::DialogDriver(d).TypeText(IDC_TO, "alarm@example.org");
      ui::DialogDriver(d).TypeText(IDC_CC, "a@example.org, b@example.org");
      ui::DialogDriver(d).TypeText(IDC_FROM, "km7@example.org");
      ui::DialogDriver(d).PressButton(ui::IDOK);
    });
    EXPECT_EQ(Read(temp ? values::EmailTempTo : values::EmailHumTo), "alarm@example.org");
    EXPECT_EQ(Read(otherTo), c.seeded ? "alarm@example.org" : c.otherTo) << (c.otherTo ? c.otherTo : "absent");
    EXPECT_EQ(Read(otherCc), c.otherTo ? "keep@example.org" : "a@example.org, b@example.org");
    EXPECT_EQ(Read(otherFrom), "km7@example.org");  // absent before: seeded
  }
}

TEST_F(AlarmEmailDlgTest, EditModeEnablesAccountFieldsOnlyForAMethodOtherThanNone) {
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    for (int id : {IDC_AUTH, IDC_USERNAME, IDC_PASSWORD}) EXPECT_FALSE(d.IsItemEnabled(id)) << id;
    EXPECT_FALSE(d.IsItemVisible(IDC_HINT1));
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    EXPECT_EQ(d.GetDlgItemText(IDC_UPDATE), "Save");
    for (int id : {int(ui::IDOK), int(ui::IDCANCEL), IDC_TEST_MAIL, IDC_TEST_MAIL_HIDDEN, IDC_VIEW_LOG})
      EXPECT_FALSE(d.IsItemEnabled(id)) << id;
    EXPECT_TRUE(d.IsItemVisible(IDC_HINT1));
    EXPECT_TRUE(d.IsItemVisible(IDC_HINT2));
    EXPECT_TRUE(d.IsItemEnabled(IDC_AUTH));
    const bool enabledFor[] = {false, true, true, true, true, true};
    for (int i = 0; i < 6; ++i) {
      ui::DialogDriver(d).SelectListItem(IDC_AUTH, i);
      EXPECT_EQ(d.IsItemEnabled(IDC_USERNAME), enabledFor[i]) << i;
      EXPECT_EQ(d.IsItemEnabled(IDC_PASSWORD), enabledFor[i]) << i;
    }
    ui::DialogDriver(d).PressButton(ui::IDCANCEL);  // disabled: nothing happens
    EXPECT_TRUE(d.IsWindow());
  });
}

TEST_F(AlarmEmailDlgTest, AnUnknownStoredMethodShowsQuestionMarksAndReadsAsNone) {
  Settings().WriteInt(values::Authenticate, "Lab", 9);
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    EXPECT_EQ(d.GetDlgItemText(IDC_AUTH), kUnknownMethod);
    EXPECT_EQ(d.ComboGetCurSel(IDC_AUTH), -1);
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    EXPECT_TRUE(d.IsItemEnabled(IDC_USERNAME));  // no selection is not "None"
    d.UpdateData(true);
    EXPECT_EQ(d.authMethod, 0);
  });
}

TEST_F(AlarmEmailDlgTest, AccountIsStoredProtectedNeverInClearAndComesBack) {
  test::RefusingPort refusing;
  // "None" still stores what the (disabled) fields hold.
  for (int method : {2, 0}) {
    SaveServer("127.0.0.1", std::to_string(refusing.port()), method, "alice.account", "S3cret-Pass");
    const std::string file = SettingsFile();
    EXPECT_EQ(file.find("alice.account"), std::string::npos);
    EXPECT_EQ(file.find("S3cret-Pass"), std::string::npos);
    EXPECT_NE(file.find("ORVKM7UsernameE_Lab="), std::string::npos);
    EXPECT_NE(file.find("ORVKM7PasswordE_Lab="), std::string::npos);
    EXPECT_EQ(Settings().ReadInt(values::Authenticate, "Lab"), method);
    Run(AlarmKind::Humidity, [&](CAlarmEmail& d) {
      EXPECT_EQ(d.GetDlgItemText(IDC_USERNAME), "alice.account");
      EXPECT_EQ(d.GetDlgItemText(IDC_PASSWORD), "S3cret-Pass");
      EXPECT_EQ(d.GetDlgItemText(IDC_PORT), std::to_string(refusing.port()));
    });
  }
}

TEST_F(AlarmEmailDlgTest, ServerChangeLogsTheRealOutcomeOfTheConnectionTest) {
  test::RefusingPort refusing;
  SaveServer("127.0.0.1", std::to_string(refusing.port()), 0, "", "");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("An error occured connecting to the server, Error:8007274D\nDescription:", 0), 0u)
      << messages[0];
  const std::string log = test::ReadFile(EmailErrorLogPath());
  const std::string head = "\r\n\r\nLogFile version 1.15\r\n";
  ASSERT_EQ(log.rfind(head, 0), 0u) << log;
  // Time, then the line with -1 and the error text.
  EXPECT_EQ(log.substr(head.size() + 24),
            " Status of connect to 127.0.0.1 during server change: -1, " +
                messages[0].substr(0, messages[0].find('\n')) + "\r\n" +
                messages[0].substr(messages[0].find('\n') + 1) + ".\r\n");
  EXPECT_EQ(Settings().ReadText(values::ServerName, "Lab"), "127.0.0.1");
}

TEST_F(AlarmEmailDlgTest, BadServerFieldsAreRefusedAndNothingIsStored) {
  const struct {
    const char* server;
    const char* port;
    const char* message;
  } cases[] = {
      {"127.0.0.1", "abc", "Please enter an integer."},
      {"127.0.0.1", "", "Please enter an integer."},
      {"127.0.0.1", "0", "Please enter a port number from 1 to 65535."},
      {"127.0.0.1", "70000", "Please enter a port number from 1 to 65535."},
      {"", "25", "Please enter the name of the mail server."},
      {"   ", "587", "Please enter the name of the mail server."},
  };
  for (const auto& c : cases) {
    messages.clear();
    const std::string before = SettingsFile();
    Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
      ui::DialogDriver(d).PressButton(IDC_UPDATE);
      ui::DialogDriver(d).TypeText(IDC_SERVER, c.server);
      ui::DialogDriver(d).TypeText(IDC_PORT, c.port);
      ui::DialogDriver(d).PressButton(IDC_UPDATE);
      EXPECT_TRUE(d.InEditMode());
      EXPECT_EQ(d.GetDlgItemText(IDC_UPDATE), "Save");
    });
    ASSERT_EQ(messages.size(), 1u) << c.port;
    EXPECT_EQ(messages[0], c.message);
    EXPECT_EQ(SettingsFile(), before) << c.server << " " << c.port;
  }
}

TEST_F(AlarmEmailDlgTest, TripPointThatIsNotANumberKeepsTheDialogOpenAndStoresNothing) {
  const struct {
    const char* above;
    bool aboveOn;
    bool accepted;
  } cases[] = {
      {"abc", false, false}, {"30abc", true, false}, {"--", true, false}, {"", true, false},
      {"--", false, true},   {" 30.5 ", true, true}, {"-4", true, true},
  };
  for (const auto& c : cases) {
    std::error_code ec;
    fs::remove(Settings().FilePath(), ec);
    messages.clear();
    bool open = false;
    Run(AlarmKind::Humidity, [&](CAlarmEmail& d) {
      ui::DialogDriver(d).TypeText(IDC_ABOVE_VALUE, c.above);
      if (c.aboveOn) ui::DialogDriver(d).PressButton(IDC_ABOVE);
      ui::DialogDriver(d).PressButton(ui::IDOK);
      open = d.IsWindow() && d.Result() == -1;
    });
    EXPECT_EQ(open, !c.accepted) << c.above;
    EXPECT_EQ(messages.size(), c.accepted ? 0u : 1u) << c.above;
    EXPECT_EQ(SettingsFile().empty(), !c.accepted) << c.above;
  }
}

TEST_F(AlarmEmailDlgTest, EnterInAFieldDoesNothing) {
  const int result = Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    ui::DialogDriver(d).TypeText(IDC_SUBJECT, "Hot");
    d.GotoDlgCtrl(IDC_SUBJECT);
    ui::DialogDriver(d).PressKey(Qt::Key_Return);
    EXPECT_TRUE(d.IsWindow());
  });
  EXPECT_EQ(result, ui::IDCANCEL);
  EXPECT_EQ(SettingsFile(), "");
}

TEST_F(AlarmEmailDlgTest, ViewLogOpensTheLogFileOrSaysItCannot) {
  std::vector<std::string> opened;
  bool viewerStarts = true;
  SetOpenDocumentHook([&](const std::string& path) {
    opened.push_back(path);
    return viewerStarts;
  });
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) { ui::DialogDriver(d).PressButton(IDC_VIEW_LOG); });
  EXPECT_TRUE(opened.empty());  // no log yet
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], kMsgLogNotShown);

  fs::create_directories(fs::path(EmailErrorLogPath()).parent_path());
  test::WriteFile(EmailErrorLogPath(), "x");
  messages.clear();
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) { ui::DialogDriver(d).PressButton(IDC_VIEW_LOG); });
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], EmailErrorLogPath());
  EXPECT_TRUE(messages.empty());

  viewerStarts = false;
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) { ui::DialogDriver(d).PressButton(IDC_VIEW_LOG); });
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], kMsgLogNotShown);
}

TEST_F(AlarmEmailDlgTest, ALogFolderThatCannotBeMadeIsReportedAndTheActionGoesOn) {
  test::RefusingPort refusing;
  test::WriteFile(test::AlarmTestRoot() + "/not-a-folder", "");
  test::ScopedEnv state("XDG_STATE_HOME", (test::AlarmTestRoot() + "/not-a-folder").c_str());
  SaveServer("127.0.0.1", std::to_string(refusing.port()), 0, "", "");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].rfind(kMsgLogNotOpened, 0), 0u) << messages[1];
  EXPECT_NE(messages[1].find("not-a-folder/km7"), std::string::npos) << messages[1];
  EXPECT_EQ(Settings().ReadText(values::ServerName, "Lab"), "127.0.0.1");
}

TEST_F(AlarmEmailDlgTest, SecurityIsChosenInEditModeSavedBySaveAndUsedByTheConnectionTest) {
  // A plain server: STARTTLS is required but not offered, so the test fails
  // before anything else is sent.
  km7::it::TempDir dir;
  km7::it::MailServer server;
  std::string why;
  ASSERT_TRUE(server.Start(dir.path(), {}, why)) << why;
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    EXPECT_EQ(d.GetDlgItemText(IDC_SECURITY), "None");
    EXPECT_FALSE(d.IsItemEnabled(IDC_SECURITY));
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    EXPECT_TRUE(d.IsItemEnabled(IDC_SECURITY));
    ui::DialogDriver(d).TypeText(IDC_SERVER, "127.0.0.1");
    ui::DialogDriver(d).TypeText(IDC_PORT, std::to_string(server.port()));
    ui::DialogDriver(d).SelectListItem(IDC_SECURITY, 1);
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    EXPECT_FALSE(d.IsItemEnabled(IDC_SECURITY));
    WaitTest(d);
  });
  EXPECT_EQ(Settings().ReadInt(values::MailSecurity, "Lab"), 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("Error:8004023B"), std::string::npos) << messages[0];
  EXPECT_EQ(server.MessageCount(), 0u);

  // OK leaves it alone; the next opening shows it; an unknown one is "???".
  Run(AlarmKind::Humidity, [&](CAlarmEmail& d) {
    EXPECT_EQ(d.GetDlgItemText(IDC_SECURITY), "STARTTLS");
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    ui::DialogDriver(d).SelectListItem(IDC_SECURITY, 2);
    ui::DialogDriver(d).PressButton(IDC_UPDATE);  // Save: stored, then the (failing) test
    EXPECT_EQ(Settings().ReadInt(values::MailSecurity, "Lab"), 2);
    WaitTest(d);
    ui::DialogDriver(d).PressButton(ui::IDOK);
  });
  Settings().WriteInt(values::MailSecurity, "Lab", 7);
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) { EXPECT_EQ(d.GetDlgItemText(IDC_SECURITY), kUnknownMethod); });
}

// The main window's side of the Email boxes.
class FakeWindow : public EmailBoxHost {
 public:
  void SaveControls() override { ++saves; }
  void LoadControls() override { ++loads; }
  std::string SettingsName() const override { return name; }
  int& EmailOn(AlarmKind kind) override { return kind == AlarmKind::Temperature ? temp : hum; }
  SensorValues CurrentValues() const override { return kLatest; }
  void MailSettingsChanged() override { ++changes; }
  OpenSensor& Sensor() override { return sensor; }
  OpenSensor sensor;
  std::string name = "Lab";
  int temp = 0, hum = 0, saves = 0, loads = 0, changes = 0;
};

TEST_F(AlarmEmailDlgTest, EmailBoxesOpenTheDialogAndCancelClearsTheBoxAndTheStoredSwitch) {
  FakeWindow w;
  w.temp = 1;
  {
    ui::ScopedModalHook hook([](ui::CDialog& d) {
      ui::DialogDriver(d).PressButton(ui::IDCANCEL);
      return ui::IDCANCEL;
    });
    OnEmailBoxClicked(AlarmKind::Temperature, w);
  }
  EXPECT_EQ(w.temp, 0);
  EXPECT_GE(w.loads, 1);
  // Stored as the box shows it, so the next start does not arm it unseen.
  EXPECT_EQ(Settings().ReadInt(values::TempEmailOnOff, "Lab"), 0);
  EXPECT_GE(w.changes, 1);
  EXPECT_EQ(w.sensor.name, "Lab");

  // OK reloads the trip points of this kind.
  w.hum = 1;
  {
    ui::ScopedModalHook hook([](ui::CDialog& d) {
      ui::DialogDriver(d).TypeText(IDC_ABOVE_VALUE, "65");
      ui::DialogDriver(d).TypeText(IDC_BELOW_VALUE, "15.5");
      ui::DialogDriver(d).PressButton(IDC_ABOVE);
      ui::DialogDriver(d).PressButton(ui::IDOK);
      return ui::IDCANCEL;
    });
    OnEmailBoxClicked(AlarmKind::Humidity, w);
  }
  EXPECT_EQ(w.hum, 1);
  EXPECT_EQ(w.sensor.bands.humidity.highActive, 1);
  EXPECT_FLOAT_EQ(w.sensor.bands.humidity.high, 65.0f);
  EXPECT_EQ(w.sensor.bands.humidity.lowActive, 0);
  EXPECT_FLOAT_EQ(w.sensor.bands.humidity.low, 15.5f);
  EXPECT_EQ(Settings().ReadInt(values::HumEmailOnOff, "Lab"), 1);

  // Unticking switches that kind off.
  w.hum = 0;
  messages.clear();
  OnEmailBoxClicked(AlarmKind::Humidity, w);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "Email deactivated for Humidity alarms.");
  EXPECT_EQ(Settings().ReadInt(values::HumEmailOnOff, "Lab"), 0);

  // No sensor open: the dialog works on "None selected...".
  w.name = "Drivers Ready";
  w.temp = 1;
  messages.clear();
  {
    ui::ScopedModalHook hook([](ui::CDialog&) { return ui::IDCANCEL; });
    OnEmailBoxClicked(AlarmKind::Temperature, w);
  }
  EXPECT_EQ(w.sensor.name, kNoSensorSelected);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], kMsgNoSensor);
}

TEST_F(AlarmEmailDlgTest, Screenshots) {
  const std::string dir = KM7_SCREENSHOT_DIR;
  fs::create_directories(dir);
  sensor.name = "ORV-KM7 Server Room";
  for (int unit : {1, 0}) {
    sensor.unit = unit;
    Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
      ui::DialogDriver(d).TypeText(IDC_ABOVE_VALUE, unit ? "30.0" : "86.0");
      EXPECT_TRUE(d.Grab(dir + (unit ? "/alarm_email_celsius.png" : "/alarm_email_fahrenheit.png")));
    });
  }
  Settings().WriteInt(values::Authenticate, "ORV-KM7 Server Room", 2);
  Run(AlarmKind::Humidity, [&](CAlarmEmail& d) {
    ui::DialogDriver(d).PressButton(IDC_UPDATE);
    EXPECT_TRUE(d.Grab(dir + "/alarm_email_edit_mode.png"));
  });
  // The rules dialog in both units, opened from the button.
  for (int unit : {1, 0}) {
    sensor.unit = unit;
    std::string title;
    Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
      ui::ScopedModalHook inner([&](ui::CDialog& r) {
        title = r.GetWindowText();
        ui::DialogDriver(r).PressButton(IDC_RULE_LOST);
        EXPECT_TRUE(r.Grab(dir + (unit ? "/alarm_rules_celsius.png" : "/alarm_rules_fahrenheit.png")));
        return ui::IDCANCEL;
      });
      ui::DialogDriver(d).PressButton(IDC_RULES);
    });
    EXPECT_EQ(title, "Alarm rules for sensor: ORV-KM7 Server Room");
  }
}

// A silent server: the test runs on its own thread, "Sending" is drawn, the
// dialog answers, and closing it drops the attempt at once.
TEST_F(AlarmEmailDlgTest, TestMailAgainstASilentServerLeavesTheDialogFree) {
  km7::it::TempDir dir;
  km7::it::Daemon silent;
  const auto portFile = dir / "port";
  ASSERT_TRUE(silent.Start({km7::it::Python(), KM7_SCRIPTED_SMTP, "--mode", "blackhole", "--port-file",
                            portFile.string()},
                           dir.path(), "silent"));
  for (int i = 0; i < 600 && !fs::exists(portFile); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Settings().WriteText(values::ServerName, "Lab", "127.0.0.1");
  Settings().WriteText(values::PortNumber, "Lab", km7::it::ReadFile(portFile));
  const std::string shots = KM7_SCREENSHOT_DIR;
  fs::create_directories(shots);
  std::chrono::steady_clock::duration closing{};
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) {
    ui::DialogDriver(d).PressButton(IDC_TEST_MAIL);
    EXPECT_TRUE(d.TestRunning());
    EXPECT_EQ(d.GetDlgItemText(IDC_TEST_MAIL), kSendingCaption);
    EXPECT_FALSE(d.IsItemEnabled(IDC_TEST_MAIL));
    QCoreApplication::processEvents();
    EXPECT_TRUE(d.Grab(shots + "/alarm_email_sending.png"));
    // The dialog still works: a field takes typing.
    ui::DialogDriver(d).TypeText(IDC_SUBJECT, "typed while sending");
    EXPECT_EQ(d.GetDlgItemText(IDC_SUBJECT), "typed while sending");
    const auto start = std::chrono::steady_clock::now();
    ui::DialogDriver(d).PressButton(ui::IDCANCEL);
    closing = std::chrono::steady_clock::now() - start;
  });
  EXPECT_LT(closing, std::chrono::seconds(1));
  // The attempt itself ends at once too, not at the server's time-out (a
  // minute): its outcome reaches the log from the task's thread.
  const auto closed = std::chrono::steady_clock::now();
  std::string log;
  while (log.find("cancelled") == std::string::npos &&
         std::chrono::steady_clock::now() - closed < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (fs::exists(EmailErrorLogPath())) log = test::ReadFile(EmailErrorLogPath());
  }
  EXPECT_NE(log.find("Status of connect to 127.0.0.1: -1"), std::string::npos) << log;
  EXPECT_NE(log.find("The attempt was cancelled before it finished."), std::string::npos) << log;
  EXPECT_TRUE(messages.empty());
}

TEST_F(AlarmEmailDlgTest, PasswordInTheClearIsWarnedAboutWithTheSettingToChoose) {
  test::RefusingPort refusing;
  SaveServer("127.0.0.1", std::to_string(refusing.port()), 2, "user", "secret");  // AUTH LOGIN, Security None
  ASSERT_GE(messages.size(), 1u);
  EXPECT_EQ(messages[0], kMsgPasswordInClear);
  EXPECT_NE(messages[0].find("STARTTLS"), std::string::npos);
  messages.clear();
  Settings().WriteInt(values::MailSecurity, "Lab", 1);
  SaveServer("127.0.0.1", std::to_string(refusing.port()), 2, "user", "secret");
  for (const std::string& m : messages) EXPECT_NE(m, kMsgPasswordInClear);
}

TEST_F(AlarmEmailDlgTest, AStoredAccountThatCannotBeOpenedIsSaidOnceWithTheReason) {
  test::RefusingPort refusing;
  SaveServer("127.0.0.1", std::to_string(refusing.port()), 1, "user", "secret");
  // The key is gone: the sealed account cannot be opened any more.
  fs::remove(DataProtector::DefaultKeyPath());
  messages.clear();
  std::string shownUser = "?";
  Run(AlarmKind::Temperature, [&](CAlarmEmail& d) { shownUser = d.GetDlgItemText(IDC_USERNAME); });
  EXPECT_EQ(shownUser, "");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("The stored account for Lab cannot be opened"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("protect.key is missing"), std::string::npos) << messages[0];
  // The mail path sees the same and never logs in with nothing.
  const MailAccount account = ReadMailAccount("Lab");
  EXPECT_FALSE(account.problem.empty());
  messages.clear();
  Run(AlarmKind::Temperature, [&](CAlarmEmail&) {});
  EXPECT_TRUE(messages.empty());
}

}  // namespace
}  // namespace km7::alarms
