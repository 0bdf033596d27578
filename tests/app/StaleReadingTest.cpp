// The main window against simulated modules that stop giving good readings:
// unplugged while running, a bridge with no sensor behind it, and a module
// whose check byte is wrong every fourth reading. Old values are never shown,
// logged or checked as if they were current.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppTestSupport.h"
#include "alarms/EmailErrorLog.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "ui/DialogDriver.h"

namespace km7::test {
namespace {

namespace fs = std::filesystem;
namespace values = km7::profile;
using Clock = std::chrono::steady_clock;

// 20.00 °C, 49.419 %, dew point 9.08 °C.
constexpr char kLab[] = "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";

// Lines of the e-mail diagnostic log that start an alarm dispatch.
int AlarmLinesLogged() {
  std::ifstream in(alarms::EmailErrorLogPath(), std::ios::binary);
  int n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(" Alarm... ") != std::string::npos;
  return n;
}

class StaleReadingTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    log_ = fs::path(ProfileStore::Instance().FilePath()).parent_path() / "stale-log.txt";
    fs::remove(log_);
  }
  void TearDown() override {
    AppTest::TearDown();
    fs::remove(log_);
  }
  // Lab remembered, logging on into log_ every second.
  void RememberLabWithLogging() {
    ProfileStore& s = ProfileStore::Instance();
    s.WriteText(values::Device, kDefaultSensorName, "Lab");
    s.WriteInt(values::Logging, kDefaultSensorName, 1);
    s.WriteText(values::LogFilePath, "Lab", log_.string());
    s.WriteInt(values::LoggingInterval, "Lab", 1);
  }
  // The rows of the log (the header lines left out).
  std::vector<std::string> Rows() const {
    std::ifstream in(log_, std::ios::binary);
    std::vector<std::string> rows;
    for (std::string line; std::getline(in, line);)
      if (!line.empty() && line[0] != '\t') rows.push_back(line);
    return rows;
  }
  static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  }
  fs::path log_;
};

TEST_F(StaleReadingTest, UnpluggedModuleShowsDashesWithinSixSecondsAndLogsNoMoreRows) {
  ConfigureSim(std::string(kLab) + "unplug_after = 6\n");
  RememberLabWithLogging();
  // A band the last values are inside: nothing may fire on them either way.
  ProfileStore::Instance().WriteInt(values::TempEmailOnOff, "Lab", 1);
  ProfileStore::Instance().WriteInt(values::EmailTempAbove, "Lab", 1);
  ProfileStore::Instance().WriteText(values::EmailTempAboveTemp, "Lab", "30");
  const int alarmLines = AlarmLinesLogged();
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "20.0 \xB0" "C "; }));
  ASSERT_TRUE(WaitFor([] { return Readings("Lab") >= 6; }));
  const auto unplugged = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "--"; }, 6000))
      << w.GetDlgItemText(IDC_TEMPERATURE);
  EXPECT_LE(Seconds(unplugged), 6.0);
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), "--");
  EXPECT_EQ(w.GetDlgItemText(IDC_DEW_POINT), "--");
  // The name box counts the lost readings, and the count keeps growing.
  const std::string name = w.GetDlgItemText(IDC_NAME);
  EXPECT_EQ(name.rfind("bad reading (", 0), 0u) << name;
  const auto rows = Rows().size();
  EXPECT_GE(rows, 1u);
  WaitFor([] { return false; }, 2500);
  EXPECT_EQ(Rows().size(), rows) << "rows of old values were logged";
  EXPECT_NE(w.GetDlgItemText(IDC_NAME), name);
  EXPECT_EQ(w.GetDlgItemText(IDC_TEMPERATURE), "--");
  EXPECT_EQ(AlarmLinesLogged(), alarmLines) << "an alarm dispatch ran";
  EXPECT_TRUE(messages.empty());
  EXPECT_TRUE(w.Grab(ScreenshotPath("main_window_stale.png")));

  // Plugged in again and opened: values and rows come back by themselves.
  Replug();
  ui::ScopedModalHook hook([](ui::CDialog& d) {
    ui::DialogDriver(d).PressButton(ui::IDOK);
    return d.Result();
  });
  ui::DialogDriver(w).PressButton(IDC_OPEN);
  EXPECT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "20.0 \xB0" "C "; }));
  EXPECT_TRUE(WaitFor([&] { return Rows().size() > rows; }));
}

TEST_F(StaleReadingTest, ModuleWithoutASensorShowsBadReadingWithinThreeSeconds) {
  ConfigureSim("[module]\ndescription = Lab\nsensor = 0\n");
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, "Lab");
  const auto start = Clock::now();
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_NAME).rfind("bad reading (", 0) == 0; }, 3000))
      << w.GetDlgItemText(IDC_NAME);
  EXPECT_LE(Seconds(start), 3.0);
  // Never a made-up 0.0: there has been no reading at all.
  for (int id : {IDC_TEMPERATURE, IDC_HUMIDITY, IDC_DEW_POINT}) EXPECT_EQ(w.GetDlgItemText(id), "--") << id;
  EXPECT_EQ(Readings("Lab"), 0u);
}

TEST_F(StaleReadingTest, EveryFourthCheckByteWrongStillShowsAndLogsTheGoodReadings) {
  ConfigureSim(std::string(kLab) + "corrupt_crc_every = 4\n");
  RememberLabWithLogging();
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_NAME).rfind("bad reading (", 0) == 0; }));
  // Watched for a while: the values stay on screen throughout.
  const auto watch = Clock::now();
  int dashes = 0;
  while (Seconds(watch) < 3.0) {
    WaitFor([] { return false; }, 100);
    dashes += w.GetDlgItemText(IDC_TEMPERATURE) == "--";
    EXPECT_EQ(w.GetDlgItemText(IDC_TEMPERATURE), "20.0 \xB0" "C ");
  }
  EXPECT_EQ(dashes, 0);
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), "49.4 % ");
  ASSERT_TRUE(WaitFor([&] { return Rows().size() >= 3; }));
  for (const std::string& row : Rows()) EXPECT_NE(row.find("\t 20.00\t68.00\t49.42\t9.08\t48.34"), std::string::npos) << row;
}

}  // namespace
}  // namespace km7::test
