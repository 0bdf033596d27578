// What the alarm mail and the diagnostic log say, byte for byte: the reading
// and alarm lines in both units, the bodies, the error texts, the message
// built from the settings' texts, the log's lines and where the log lives.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "alarms/AlarmMessage.h"
#include "alarms/EmailErrorLog.h"
#include "platform/TempDir.h"
#include "smtp/ErrorMessages.h"

namespace km7::alarms {
namespace {

constexpr char kDeg[] = "\xB0";
using test::ScopedEnv;

TEST(AlarmMessage, ReadingLineInBothUnits) {
  const SensorValues r{20.0, 49.419, 9.08};
  EXPECT_EQ(ReadingLine("Lab", r, 1),
            std::string("Sensor: Lab   Temp: 20.0") + kDeg + "C  Hum: 49.4%  Dew: 9.1" + kDeg + "C");
  EXPECT_EQ(ReadingLine("Lab", r, 0),
            std::string("Sensor: Lab   Temp: 68.0") + kDeg + "F  Hum: 49.4%  Dew: 48.3" + kDeg + "F");
  // A name with a percent sign is printed literally.
  EXPECT_EQ(ReadingLine("100%s", r, 1).substr(0, 14), "Sensor: 100%s ");
}

TEST(AlarmMessage, AlarmLineComparesStrictlyAndPrintsTheTripPointInTheUnit) {
  const AlarmBand temp{1, 30.0f, 1, 10.0f};
  const AlarmBand inverted{1, 10.0f, 1, 30.0f};  // low above high
  const AlarmBand off{0, 30.0f, 0, 10.0f};
  const AlarmBand hum{1, 60.0f, 1, 20.0f};
  struct Case {
    AlarmKind kind;
    double value;
    AlarmBand band;
    int unit;
    std::string want;
  } cases[] = {
      {AlarmKind::Temperature, 30.4, temp, 1, std::string("Temperature has gone above 30.0") + kDeg + "\n"},
      {AlarmKind::Temperature, 30.4, temp, 0, std::string("Temperature has gone above 86.0") + kDeg + "\n"},
      {AlarmKind::Temperature, 9.9, temp, 1, std::string("Temperature has gone below 10.0") + kDeg + "\n"},
      {AlarmKind::Temperature, 9.9, temp, 0, std::string("Temperature has gone below 50.0") + kDeg + "\n"},
      {AlarmKind::Temperature, 30.0, temp, 1, ""},  // equal is inside
      {AlarmKind::Temperature, 10.0, temp, 1, ""},
      {AlarmKind::Temperature, 20.0, temp, 1, ""},
      {AlarmKind::Temperature, 35.0, off, 1, ""},
      {AlarmKind::Temperature, 20.0, inverted, 1, std::string("Temperature has gone below 30.0") + kDeg + "\n"},
      {AlarmKind::Humidity, 60.5, hum, 0, "Humidity has gone above 60.0%\n"},
      {AlarmKind::Humidity, 19.0, hum, 1, "Humidity has gone below 20.0%\n"},
      {AlarmKind::Humidity, 60.0, hum, 1, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(AlarmLine(c.kind, c.value, c.band, c.unit), c.want) << c.value << " unit " << c.unit;
}

TEST(AlarmMessage, AlarmBodyHoldsReadingAlarmAndThreeLinesThenAnEmptyLine) {
  AlarmBands bands;
  bands.temperature = {1, 30.0f, 0, 0.0f};
  bands.humidity = {1, 60.0f, 0, 0.0f};
  const SensorValues r{30.4, 65.0, 20.0};
  EXPECT_EQ(AlarmBody(AlarmKind::Temperature, "Server room", r, bands, 1, "a", "b", "c"),
            std::string("Sensor: Server room   Temp: 30.4") + kDeg + "C  Hum: 65.0%  Dew: 20.0" + kDeg +
                "C\nTemperature has gone above 30.0" + kDeg + "\na\nb\nc\n\n");
  EXPECT_EQ(AlarmBody(AlarmKind::Humidity, "S", r, bands, 0, "", "", ""),
            std::string("Sensor: S   Temp: 86.7") + kDeg + "F  Hum: 65.0%  Dew: 68.0" + kDeg +
                "F\nHumidity has gone above 60.0%\n\n\n\n\n");
}

TEST(AlarmMessage, TestMailBodyShowsTripPointsAndWhichAreActive) {
  AlarmBands bands;
  bands.temperature = {1, 25.0f, 0, -5.0f};
  bands.humidity = {0, 70.0f, 1, 20.5f};
  const std::string lines[4] = {"L1", "L2", "", "L4"};
  const std::string tail = "HiTemp Alarm is Active\nLoTemp Alarm is Not Active\n"
                           "HiHum Alarm is Not Active\nLoHum Alarm is Active\nL1\nL2\n\nL4\n";
  EXPECT_EQ(TestMailBody(bands, 1, lines),
            std::string("Trip Points: HiTemp 25.0") + kDeg + "C, LoTemp -5.0" + kDeg +
                "C, HiHum 70.0%, LoHum 20.5%\n" + tail);
  EXPECT_EQ(TestMailBody(bands, 0, lines),
            std::string("Trip Points: HiTemp 77.0") + kDeg + "F, LoTemp 23.0" + kDeg +
                "F, HiHum 70.0%, LoHum 20.5%\n" + tail);
}

TEST(AlarmMessage, ErrorTextsAddTheResponseOnlyOutsideTheClientsOwnFailures) {
  const CZRKSMTPException own(FACILITY_ITF, IDS_CONNECTION_FAILED);
  const CZRKSMTPException socket(FACILITY_WIN32, WSAECONNREFUSED, "");
  const CZRKSMTPException refused(FACILITY_ITF, IDS_UNEXPECTED_RCPT_TO_RESPONSE, "550 no\r\n");
  EXPECT_EQ(ConnectErrorText(own, "\r\n"),
            "An error occured connecting to the server, Error:80040066\r\nDescription:Connection failed");
  EXPECT_EQ(ConnectErrorText(own, "\n"),
            "An error occured connecting to the server, Error:80040066\nDescription:Connection failed");
  const std::string s = ConnectErrorText(socket, "\n");
  EXPECT_EQ(s.rfind("An error occured connecting to the server, Error:8007274D\nDescription:", 0), 0u) << s;
  EXPECT_EQ(s.substr(s.size() - 11), ", Response:") << s;
  EXPECT_EQ(SendErrorText(refused, "\r\n").rfind("An error occured sending the message, Error:8004020C\r\n"
                                                 "Description:", 0), 0u);
  EXPECT_EQ(SendErrorText(refused, "\n").find(", Response:"), std::string::npos);
}

TEST(AlarmMessage, BuildMailMessageTakesTheSettingsTexts) {
  struct Case {
    std::string to, name, address, cc, bcc, subject, body;
    size_t toCount, ccCount, bccCount;
    std::string fromName, fromAddress;
  } cases[] = {
      {"a@x.org", "me@x.org", "me@x.org", "b@x.org, c@x.org", "", "Hot", "body", 1, 2, 0, "me@x.org", "me@x.org"},
      {"", "", "Ops <ops@x.org>", "", "d@x.org", "", "", 0, 0, 1, "Ops", "ops@x.org"},
      {"a@x.org;e@x.org", "<me@x.org>", "me@x.org", "", "", "S", "B", 2, 0, 0, "<me@x.org>", "me@x.org"},
  };
  for (const Case& c : cases) {
    auto m = BuildMailMessage(c.to, c.name, c.address, c.cc, c.bcc, c.subject, c.body);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->GetTo().size(), c.toCount) << c.to;
    EXPECT_EQ(m->GetCc().size(), c.ccCount) << c.cc;
    EXPECT_EQ(m->GetBcc().size(), c.bccCount);
    EXPECT_EQ(m->GetFrom().GetFriendlyName(), c.fromName);
    EXPECT_EQ(m->GetFrom().GetEmailAddress(), c.fromAddress);
    EXPECT_EQ(m->GetSubject(), c.subject);
    EXPECT_EQ(m->GetRootPart().GetText(), c.body);
    EXPECT_EQ(m->GetXMailer(), "");
    EXPECT_EQ(m->GetDSNFlags(), CZRKSMTPMessage::DSN_NONE);
    EXPECT_EQ(m->GetHeader().find("X-Mailer"), std::string::npos);
  }
}

TEST(EmailErrorLog, LinesByteForByte) {
  const std::string t = "Sun Dec 06 16:53:12 2026";
  struct Case {
    std::string got, want;
  } cases[] = {
      {logline::Header(), "\n\nLogFile version 1.15\n"},
      {logline::TestHeader(t), "\n\nLogFile version 1.15\n" + t + "\n"},
      {logline::Connecting(t, AlarmKind::Temperature, "mx"), t + " Temperature Alarm... Connecting to mx\n"},
      {logline::Connecting(t, AlarmKind::Humidity, "mx"), t + " Humidity Alarm... Connecting to mx\n"},
      {logline::ConnectStatus(t, "mx", -1), t + " Status of connect to mx: -1\n"},
      {logline::SendFailed(t, -2, "E\r\nD"), t + " Email failed with error code -2 - E\r\nD\n"},
      {logline::Sent(t, "a", "", "S", "B\n"),
       t + " Emailed a message\n" + t + " To:a\n" + t + " Cc:\n" + t + " Subject:S\n" + t +
           " Message below\nB\n\n"},
      {logline::TestClicked(t), t + " Email Test button clicked\n"},
      {logline::TestConnectStatus(t, "mx", 0), t + " Status of connect to mx: 0 (0 is OK)\n"},
      {logline::ServerChange(t, "mx", 0, "which is OK"),
       t + " Status of connect to mx during server change: 0, which is OK.\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(EmailErrorLog, TimestampIsTheClassicTextWithATwoDigitDay) {
  ScopedEnv tz("TZ", "UTC");
  tzset();
  EXPECT_EQ(LogTimestamp(1796575992), "Sun Dec 06 16:53:12 2026");
  EXPECT_EQ(LogTimestamp(0), "Thu Jan 01 00:00:00 1970");
}

TEST(EmailErrorLog, LivesInThePrivateStateFolderAndSaysWhyWhenItCannot) {
  test::TempDir dir;
  {
    ScopedEnv state("XDG_STATE_HOME", (dir / "state").c_str());
    EXPECT_EQ(EmailErrorLogPath(), dir / "state/km7/emailerrstream.txt");
    TextFileWriter log;
    std::string why;
    ASSERT_TRUE(OpenEmailErrorLog(log, &why)) << why;
    ASSERT_TRUE(log.Write("x\n"));
    struct stat st {};
    ASSERT_EQ(stat((dir / "state/km7").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(EmailErrorLogPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(test::ReadFile(EmailErrorLogPath()), "x\r\n");
  }
  {
    // A relative value is not used; the home folder's is.
    ScopedEnv state("XDG_STATE_HOME", "relative");
    ScopedEnv home("HOME", dir.Path().c_str());
    EXPECT_EQ(EmailErrorLogPath(), dir / ".local/state/km7/emailerrstream.txt");
  }
  {
    // The folder cannot be made: a file stands where it should be.
    test::WriteFile(dir / "blocked", "");
    ScopedEnv state("XDG_STATE_HOME", (dir / "blocked").c_str());
    TextFileWriter log;
    std::string why;
    EXPECT_FALSE(OpenEmailErrorLog(log, &why));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_NE(why.find(dir / "blocked/km7"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace km7::alarms
