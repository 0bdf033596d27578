// The alarm rules through the main window's tick, the mail worker and
// aiosmtpd: a lost and recovered sensor, and a value out of band with repeat
// and back to normal. The wall clock is the program's clock seam, so the
// minutes of the rules pass in a moment; the mail goes out for real.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Harness.h"
#include "alarms/Outbox.h"
#include "alarms/EmailErrorLog.h"
#include "../app/AppTestSupport.h"
#include "platform/Clock.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "support/RefusingPort.h"
#include "ui/DialogDriver.h"

namespace km7::test {
namespace {

namespace values = km7::profile;
constexpr char kSensor[] = "Server Room";

// The mail worker reads the clock on its own thread.
std::atomic<std::time_t> g_now{1765000000};
std::time_t FakeNow() { return g_now.load(); }

class AlarmRulesMail : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    // The tests of this program share one state folder: an attempt the last
    // test's exit cancelled must not go to this test's server.
    std::filesystem::remove_all(alarms::Outbox::DefaultFolder());
    SetNowHook(&FakeNow);
    ConfigureSim("");
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), {}, why)) << why;
    ProfileStore& s = ProfileStore::Instance();
    s.WriteText(values::ServerName, kSensor, "127.0.0.1");
    s.WriteInt(values::PortNumber, kSensor, server_.port());
    s.WriteText(values::EmailTempTo, kSensor, "oncall@example.org");
    s.WriteText(values::EmailTempFrom, kSensor, "km7@example.org");
    s.WriteText(values::EmailTempSubject, kSensor, "Server room too warm");
    w = &StartMainWindow();
    w->SetName(kSensor);
    w->openSensor.name = kSensor;
    w->openSensor.bands.temperature = AlarmBand{1, 30.0f, 0, 0.0f};
    w->CheckDlgButton(IDC_TEMP_EMAIL, 1);
  }
  void TearDown() override {
    AppTest::TearDown();
    SetNowHook(nullptr);
  }
  void Rules(int lost, int back, int repeat) {
    ProfileStore& s = ProfileStore::Instance();
    s.WriteInt(values::SensorLostOnOff, kSensor, lost > 0 ? 1 : 0);
    s.WriteInt(values::SensorLostSeconds, kSensor, lost > 0 ? lost : 120);
    s.WriteInt(values::BackToNormalOnOff, kSensor, back);
    s.WriteInt(values::RepeatMinutes, kSensor, repeat);
  }
  // One tick at the time given (seconds after the start).
  // A tick without a current reading follows a cycle the sensor did not
  // answer.
  // `lost` measurements and `badChecks` failed checks are counted in the
  // cycle before it.
  void Tick(std::time_t at, double temperature, bool current = true, int lost = 0, int badChecks = 0) {
    g_now = 1765000000 + at;
    Reading r;
    r.temperature = temperature;
    r.relativeHumidity = 45.0;
    r.dewPoint = 12.0;
    if (!current) {
      CycleResult failed;
      failed.fault = ReadingFault::NoAnswer;
      w->acquisition.Store().Publish(failed);
    }
    w->acquisition.Store().Put(r, current ? SteadyMs() : ReadingStore::kNoGoodReading);
    for (int i = 0; i < lost; ++i) w->acquisition.Store().CountLostMeasurement();
    for (int i = 0; i < badChecks; ++i) w->acquisition.Store().CountBadCheck();
    w->OnTimer(kDisplayTimerId);
  }
  bool WaitMessages(size_t n) { return WaitFor([&] { return server_.MessageCount() >= n; }, 30000); }
  std::string Subject(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "%04d.eml", index);
    const it::RunResult r = it::RunProgram(
        {it::Python(), "-c",
         "import email, email.header, sys\nm = email.message_from_binary_file(open(sys.argv[1], 'rb'))\n"
         "s = str(email.header.make_header(email.header.decode_header(m['Subject'])))\n"
         "sys.stdout.buffer.write(s.encode('cp1252') + b'\\n' + m.get_payload(decode=True))\n",
         (server_.spool() / name).string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::string text;
    for (char c : r.out)
      if (c != '\r') text += c;
    return text;
  }

  CKm7Dlg* w = nullptr;
  it::TempDir tmp_;
  it::MailServer server_;
};

TEST_F(AlarmRulesMail, LostSensorMailsOnceAndItsReturnOnce) {
  Rules(120, 0, 0);
  w->MailSettingsChanged();
  Tick(0, 20.0);
  Tick(60, 20.0, false);
  Tick(119, 20.0, false);
  Tick(120, 20.0, false);
  ASSERT_TRUE(WaitMessages(1));
  Tick(500, 20.0, false);
  Tick(501, 21.0);
  Tick(502, 21.0);
  ASSERT_TRUE(WaitMessages(2));
  WaitFor([] { return false; }, 1500);
  EXPECT_EQ(server_.MessageCount(), 2u);
  const std::string lost = Subject(1);
  EXPECT_EQ(lost.rfind("sensor lost: Server Room\n", 0), 0u) << "[" << lost << "]";
  EXPECT_NE(lost.find("Last good reading: "), std::string::npos) << lost;
  EXPECT_NE(lost.find("Seen: the sensor did not answer"), std::string::npos) << lost;
  const std::string back = Subject(2);
  EXPECT_EQ(back.rfind("sensor back: Server Room\n", 0), 0u) << back;
  EXPECT_NE(back.find("Temp: 21.0"), std::string::npos) << back;
}

TEST_F(AlarmRulesMail, LostMeasurementsAreNoCrcFailuresInTheLostMail) {
  Rules(60, 0, 0);
  w->MailSettingsChanged();
  Tick(0, 20.0);
  Tick(30, 20.0, false, 16);
  Tick(60, 20.0, false, 16);
  ASSERT_TRUE(WaitMessages(1));
  Tick(70, 20.0);
  Tick(80, 20.0, false, 0, 2);
  Tick(140, 20.0, false, 0, 2);
  ASSERT_TRUE(WaitMessages(3));
  const std::string unplugged = Subject(1);
  EXPECT_NE(unplugged.find("Seen: the sensor did not answer"), std::string::npos) << unplugged;
  EXPECT_EQ(unplugged.find("CRC"), std::string::npos) << unplugged;
  const std::string crc = Subject(3);
  EXPECT_NE(crc.find("2 CRC failures"), std::string::npos) << crc;
}

TEST_F(AlarmRulesMail, TheMinimumGapHoldsRepeatsAndTheBackToNormalMail) {
  Rules(0, 1, 1);
  ProfileStore::Instance().WriteInt(values::MinGapMinutes, kSensor, 2);
  w->MailSettingsChanged();
  Tick(0, 29.0);
  Tick(10, 31.0);  // fires
  for (std::time_t t = 20; t <= 130; t += 10) Tick(t, 31.0);  // one repeat, at 130
  Tick(140, 28.5);  // back inside, but within the gap
  for (std::time_t t = 150; t < 250; t += 10) Tick(t, 28.0);
  ASSERT_TRUE(WaitMessages(2));
  WaitFor([] { return false; }, 1500);
  EXPECT_EQ(server_.MessageCount(), 2u);
  Tick(250, 28.0);  // the gap is over
  ASSERT_TRUE(WaitMessages(3));
  WaitFor([] { return false; }, 1500);
  ASSERT_EQ(server_.MessageCount(), 3u);
  EXPECT_EQ(Subject(2).rfind("Server room too warm (still out of band)\n", 0), 0u) << Subject(2);
  EXPECT_EQ(Subject(3).rfind("Server room too warm (back to normal)\n", 0), 0u) << Subject(3);
}

TEST_F(AlarmRulesMail, DriftingValueRepeatsAtThePeriodAndSaysWhenItIsBack) {
  Rules(0, 1, 5);
  w->MailSettingsChanged();
  Tick(0, 29.0);
  Tick(10, 30.5);  // fires
  for (std::time_t t = 20; t < 900; t += 10) Tick(t, 30.5 + (t % 100) / 100.0);
  Tick(900, 28.5);  // back inside by more than 1.0
  Tick(910, 28.0);
  // The alarm, repeats at 310 and 610 s, back to normal.
  ASSERT_TRUE(WaitMessages(4));
  WaitFor([] { return false; }, 1500);
  ASSERT_EQ(server_.MessageCount(), 4u);
  EXPECT_EQ(Subject(1).rfind("Server room too warm\n", 0), 0u) << Subject(1);
  for (int i : {2, 3}) {
    const std::string m = Subject(i);
    EXPECT_EQ(m.rfind("Server room too warm (still out of band)\n", 0), 0u) << m;
    EXPECT_NE(m.find("has been out of band for " + std::string(i == 2 ? "5 min 00 s" : "10 min 00 s")),
              std::string::npos)
        << m;
    EXPECT_NE(m.find("peak 31.4\xB0" "C"), std::string::npos) << m;
  }
  const std::string back = Subject(4);
  EXPECT_EQ(back.rfind("Server room too warm (back to normal)\n", 0), 0u) << back;
  EXPECT_NE(back.find("lasted 14 min 50 s, now 28.5\xB0" "C"), std::string::npos) << back;
}

// The tick never waits on the network: a server that never answers holds
// nothing, and a click on a unit button works at once.
TEST_F(AlarmRulesMail, ASilentServerHoldsNeitherTheTickNorAClick) {
  it::Daemon silent;
  const auto portFile = tmp_ / "silent.port";
  ASSERT_TRUE(silent.Start({it::Python(), KM7_SCRIPTED_SMTP, "--mode", "blackhole", "--port-file", portFile.string()},
                           tmp_.path(), "silent"));
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(portFile); }, 30000));
  ProfileStore::Instance().WriteText(values::PortNumber, kSensor, it::ReadFile(portFile));
  w->MailSettingsChanged();
  const auto start = std::chrono::steady_clock::now();
  Tick(0, 31.0);
  for (int i = 1; i <= 20; ++i) Tick(i, 31.0 + i / 10.0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(w->GetDlgItemText(IDC_TEMPERATURE), "33.0 \xB0" "C ");
  ui::DialogDriver(*w).PressButton(IDC_FAHRENHEIT);
  Tick(21, 33.0);
  EXPECT_EQ(w->GetDlgItemText(IDC_TEMPERATURE), "91.4 \xB0" "F   ");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(w->alarmMailsQueued[0], 1);

  // Closing the window cancels the attempt that still waits for the server:
  // the worker ends with the exit, not at the server's time-out (a minute).
  const auto log = [] {
    return std::filesystem::exists(alarms::EmailErrorLogPath()) ? it::ReadFile(alarms::EmailErrorLogPath()) : "";
  };
  ASSERT_TRUE(WaitFor([&] { return log().find("Temperature Alarm... Connecting to") != std::string::npos; }))
      << log();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto closing = std::chrono::steady_clock::now();
  DestroyMainWindow();
  w = nullptr;
  EXPECT_LT(std::chrono::steady_clock::now() - closing, std::chrono::seconds(3));
  EXPECT_NE(log().find("Attempt 1 of Temperature alarm mail of Server Room: cancelled, the program is closing"),
            std::string::npos)
      << log();
}

}  // namespace
}  // namespace km7::test
