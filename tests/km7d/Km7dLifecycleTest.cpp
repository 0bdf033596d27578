// km7d running as a service against simulated modules: each module's own data
// log and metrics, a stop within a second that leaves complete files, SIGHUP,
// and a module unplugged and plugged back from outside.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <sstream>
#include <thread>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;

// The data log's rows: "<time>\t <C>\t<F>\t<RH>\t<dew C>\t<dew F>\r\n".
std::vector<double> LoggedTemperatures(const std::string& log) {
  static const std::regex row(R"(^\w{3} \w{3} \d\d \d\d:\d\d:\d\d \d{4}\t (-?\d+\.\d\d)\t-?\d+\.\d\d\t-?\d+\.\d\d\t-?\d+\.\d\d\t-?\d+\.\d\d\r$)");
  std::vector<double> t;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_match(line, m, row)) t.push_back(std::stod(m[1]));
  }
  return t;
}

// A metric's value for one sensor in the exposition, "" when absent.
std::string Metric(const std::string& page, const std::string& name, const std::string& sensor) {
  const std::regex re(name + R"(\{[^}]*sensor=")" + sensor + R"("[^}]*\} (\S+))");
  std::smatch m;
  return std::regex_search(page, m, re) ? m[1].str() : "";
}

// Every line of a finished log ends in CR LF: no row was cut.
bool Complete(const std::string& log) {
  if (log.empty() || log.size() < 2 || log.substr(log.size() - 2) != "\r\n") return false;
  for (std::size_t i = 0; i < log.size(); ++i)
    if (log[i] == '\n' && (i == 0 || log[i - 1] != '\r')) return false;
  return true;
}

TEST(Km7dService, TwoModulesEachTheirOwnLogRowsAndMetricsThenStopWithinOneSecond) {
  TempDir dir;
  const auto labLog = dir / "lab.txt", cellarLog = dir / "cellar.txt";
  WriteSettings(dir / "km7.INI", {"ORVKM7Logging_Computer Room=1",
                                  "ORVKM7LogFilePath_Lab=" + labLog.string(),
                                  "ORVKM7LoggingInterval_Lab=1",
                                  "ORVKM7LogFilePath_Cellar=" + cellarLog.string(),
                                  "ORVKM7LoggingInterval_Cellar=2"});
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();

  ASSERT_TRUE(Eventually([&] { return LoggedTemperatures(ReadFile(labLog)).size() >= 4; }, 30s))
      << km7d.Err();
  ASSERT_TRUE(Eventually([&] { return LoggedTemperatures(ReadFile(cellarLog)).size() >= 2; }, 30s));
  const std::string page = HttpGet(port, "/metrics");
  EXPECT_NEAR(std::stod("0" + Metric(page, "km7_temperature_celsius", "Lab")), 21.0, 0.05) << page;
  EXPECT_NEAR(std::stod("0" + Metric(page, "km7_temperature_celsius", "Cellar")), 12.5, 0.05) << page;
  EXPECT_EQ(Metric(page, "km7_sensor_up", "Lab"), "1");
  EXPECT_EQ(Metric(page, "km7_sensor_up", "Cellar"), "1");

  // Rows keep coming until the signal; then km7d is gone within a second.
  std::this_thread::sleep_for(1500ms);
  const auto sent = std::chrono::steady_clock::now();
  km7d.Signal(SIGTERM);
  const int code = km7d.Wait(3s);
  const auto took = std::chrono::steady_clock::now() - sent;
  EXPECT_EQ(code, 0) << km7d.Err();
  EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

  const std::string lab = ReadFile(labLog), cellar = ReadFile(cellarLog);
  EXPECT_TRUE(Complete(lab)) << lab;
  EXPECT_TRUE(Complete(cellar)) << cellar;
  // One header line, then only this module's rows.
  EXPECT_EQ(lab.find("\tTemp "), 0u) << lab;
  for (double t : LoggedTemperatures(lab)) EXPECT_NEAR(t, 21.0, 0.05);
  for (double t : LoggedTemperatures(cellar)) EXPECT_NEAR(t, 12.5, 0.05);
  // A row a second for Lab, one every two seconds for Cellar.
  EXPECT_GT(LoggedTemperatures(lab).size(), LoggedTemperatures(cellar).size());
  EXPECT_NE(km7d.Err().find("stopped"), std::string::npos) << km7d.Err();
}

// After a clean stop the node agent must not go on reporting the last
// values as current: the textfile says every sensor is down.
TEST(Km7dService, TheTextfileSaysDownAfterACleanStop) {
  TempDir dir;
  const auto textfile = dir / "textfiles" / "km7.prom";
  std::filesystem::create_directories(textfile.parent_path());
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0", "--textfile-dir", textfile.parent_path().string()}));
  ASSERT_TRUE(Eventually([&] { return Metric(ReadFile(textfile), "km7_sensor_up", "Lab") == "1"; }, 30s))
      << km7d.Err();
  EXPECT_NE(ReadFile(textfile).find("km7_build_info{version=\""), std::string::npos);
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(10s), 0) << km7d.Err();
  const std::string last = ReadFile(textfile);
  EXPECT_EQ(Metric(last, "km7_sensor_up", "Lab"), "0") << last;
  EXPECT_EQ(Metric(last, "km7_temperature_celsius", "Lab"), "") << last;
}

// km7d holds the mail and MQTT passwords: no core dump of it. That this
// system writes core dumps at all is shown by a plain program first.
TEST(Km7dService, NoCoreDumpOfTheService) {
  TempDir dir;
  if (!km7::it::DumpsCoreOnQuit({"sleep", "30"}, dir.path(), 200ms).value_or(false))
    GTEST_SKIP() << "this system writes no core dumps";
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  const auto dumped = km7d.DumpsCoreOnQuit({"--metrics-listen", "127.0.0.1:0"}, 1500ms);
  ASSERT_TRUE(dumped.has_value()) << "km7d ended before the signal";
  EXPECT_FALSE(*dumped);
}

TEST(Km7dService, UnpluggedModuleReportedAndPickedUpWhenItReturns) {
  TempDir dir;
  const auto labLog = dir / "lab.txt";
  WriteSettings(dir / "km7.INI", {"ORVKM7Logging_Computer Room=1",
                                  "ORVKM7LogFilePath_Lab=" + labLog.string(),
                                  "ORVKM7LoggingInterval_Lab=1"});
  const std::string plugged = SimModules({{"Lab", 21.0}, {"Cellar", 12.5}});
  Km7dProcess km7d(dir.path(), plugged);
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0", "--device-poll", "1"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();
  ASSERT_TRUE(Eventually([&] { return Metric(HttpGet(port, "/metrics"), "km7_sensor_up", "Lab") == "1"; }, 30s));

  // Unplug Lab: the file is replaced whole, as the simulation asks.
  const auto replace = [&](const std::string& text) {
    WriteFile(dir / "sim.conf.new", text);
    std::filesystem::rename(dir / "sim.conf.new", km7d.SimConfigFile());
  };
  replace(std::regex_replace(plugged, std::regex("serial = KM7T0001\n"), "serial = KM7T0001\npresent = 0\n"));
  ASSERT_TRUE(km7d.WaitForErr("module \"Lab\" vanished", 30s)) << km7d.Err();
  EXPECT_TRUE(Eventually([&] { return Metric(HttpGet(port, "/metrics"), "km7_sensor_up", "Lab") == "0"; }, 20s));
  const std::string page = HttpGet(port, "/metrics");
  EXPECT_EQ(Metric(page, "km7_temperature_celsius", "Lab"), "") << page;
  EXPECT_EQ(Metric(page, "km7_sensor_up", "Cellar"), "1") << page;
  const std::size_t rowsWhileAway = LoggedTemperatures(ReadFile(labLog)).size();

  // Plug it back: watched again, rows again.
  replace(plugged);
  ASSERT_TRUE(km7d.WaitForErr("picked up again module \"Lab\"", 30s)) << km7d.Err();
  EXPECT_TRUE(Eventually([&] { return Metric(HttpGet(port, "/metrics"), "km7_sensor_up", "Lab") == "1"; }, 20s));
  EXPECT_TRUE(Eventually([&] { return LoggedTemperatures(ReadFile(labLog)).size() > rowsWhileAway + 1; }, 20s));
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(3s), 0) << km7d.Err();
}

TEST(Km7dService, SighupReadsTheSettingsAgain) {
  TempDir dir;
  const auto first = dir / "first.txt", second = dir / "second.txt";
  WriteSettings(dir / "km7.INI", {"ORVKM7Logging_Computer Room=1", "ORVKM7LogFilePath_Lab=" + first.string()});
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off"}));
  ASSERT_TRUE(Eventually([&] { return !LoggedTemperatures(ReadFile(first)).empty(); }, 30s)) << km7d.Err();

  WriteSettings(dir / "km7.INI", {"ORVKM7Logging_Computer Room=1", "ORVKM7LogFilePath_Lab=" + second.string()});
  // Without SIGHUP nothing changes.
  std::this_thread::sleep_for(1500ms);
  EXPECT_FALSE(std::filesystem::exists(second));
  km7d.Signal(SIGHUP);
  ASSERT_TRUE(Eventually([&] { return !LoggedTemperatures(ReadFile(second)).empty(); }, 30s)) << km7d.Err();
  const std::size_t before = LoggedTemperatures(ReadFile(first)).size();
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(LoggedTemperatures(ReadFile(first)).size(), before);

  // A log moved away (rotated) starts again with its header at the next row.
  std::filesystem::rename(second, dir / "second.txt.1");
  ASSERT_TRUE(Eventually([&] { return !LoggedTemperatures(ReadFile(second)).empty(); }, 30s));
  EXPECT_EQ(ReadFile(second).find("\tTemp "), 0u);
  km7d.Signal(SIGINT);
  EXPECT_EQ(km7d.Wait(3s), 0) << km7d.Err();
}

}  // namespace

namespace {

TEST(Km7dService, AlarmBandFromTheDesktopSettingsFiresAndItsMailWaitsInTheOutbox) {
  TempDir dir;
  // Lab at 21 °C against an upper trip point of 20 °C; its mail server does
  // not answer (a closed port), so the mail stays in the outbox.
  WriteSettings(dir / "km7.INI", {"ORVKM7TempEmailOnOff_Lab=1", "ORVKM7EmailTempAbove_Lab=1",
                                  "ORVKM7EmailTempAboveTemp_Lab=20.0", "ORVKM7EmailTempBelow_Lab=1",
                                  "ORVKM7EmailTempBelowTemp_Lab=5", "ORVKM7ServerName_Lab=127.0.0.1",
                                  "ORVKM7PortNumber_Lab=1", "ORVKM7EmailTempTo_Lab=ops@example.org",
                                  "ORVKM7EmailTempFrom_Lab=km7@example.org"});
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  const int port = km7d.MetricsPort();
  ASSERT_GT(port, 0) << km7d.Err();
  const std::regex high(R"re(km7_alarm_firing\{sensor="Lab",serial="KM7T0001",alarm="temperature_high"\} 1)re");
  const std::regex low(R"re(km7_alarm_firing\{sensor="Lab",serial="KM7T0001",alarm="temperature_low"\} 0)re");
  std::string page;
  EXPECT_TRUE(Eventually(
      [&] {
        page = HttpGet(port, "/metrics");
        return std::regex_search(page, high) && std::regex_search(page, low);
      },
      30s))
      << page << km7d.Err();
  // No band set up for Cellar: no alarm series for it.
  EXPECT_EQ(page.find("km7_alarm_firing{sensor=\"Cellar\""), std::string::npos) << page;
  EXPECT_TRUE(Eventually([&] { return Metric(HttpGet(port, "/metrics"), "km7_mail_outbox_messages", "Lab") == "1"; },
                         30s))
      << HttpGet(port, "/metrics") << km7d.Err();
  std::size_t stored = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir / "state" / "km7" / "outbox"))
    stored += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(stored, 1u);
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(3s), 0) << km7d.Err();
}

}  // namespace
