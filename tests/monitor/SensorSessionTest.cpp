// The desktop window's session and km7d's are one class: a module that is
// unplugged is reported lost the same number of seconds after its last good
// reading, whichever program holds it, and the mail says what was seen.
#include "monitor/SensorSession.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "acquisition/SimModule.h"
#include "settings/ProfileStore.h"

namespace km7::monitor {
namespace {

namespace fs = std::filesystem;
constexpr int kLostAfterSeconds = 10;

// Polls until done() holds, at most `seconds`.
template <typename F>
bool WaitFor(F done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int LostMails(const SessionStep& step) {
  int n = 0;
  for (const alarms::RuleMail& m : step.mails) n += m.kind == alarms::MailKind::SensorLost ? 1 : 0;
  return n;
}

class SensorLostTiming : public ::testing::TestWithParam<Holder> {
 protected:
  void SetUp() override {
    std::string dir = (fs::temp_directory_path() / "km7-session-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    root_ = dir;
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    // The rules' state of each run stays in the test's folder.
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ProfileStore::SetInstanceFile((root_ / "km7.INI").string());
    alarms::RuleOptions rules;
    rules.sensorLost = true;
    rules.sensorLostSeconds = kLostAfterSeconds;
    ASSERT_TRUE(alarms::WriteRuleOptions(simmodule::kDescription, rules));
    config_ = simmodule::WriteConfig("");
    lib_ = std::make_shared<D2xxLibrary>();
    ASSERT_EQ(lib_->Bind(), 0) << "the simulated libftd2xx.so must be on LD_LIBRARY_PATH";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
    fs::remove(config_, ec);
  }

  // Pulls the module out: the simulator follows its file at once.
  void Unplug() {
    std::ofstream(config_) << "[module]\ndescription = " << simmodule::kDescription << "\npresent = 0\n";
  }

  fs::path root_;
  std::string config_;
  std::shared_ptr<D2xxLibrary> lib_;
};

TEST_P(SensorLostTiming, CountsTheSilenceFromTheLastGoodMeasurement) {
  SensorSession session(lib_, GetParam());
  if (GetParam() == Holder::Window) session.Acquisition().Start();  // the window's idle thread
  ASSERT_EQ(session.Open(simmodule::kDescription), OpenResult::Opened);
  if (GetParam() == Holder::Window) session.StartMeasuring();
  // The window reads its settings when the sensor's name changes.
  session.ReadSettings(simmodule::kDescription);

  ASSERT_TRUE(WaitFor([&] { return session.Acquisition().Health().goodReadings > 0; }, 30));
  // A tick a few seconds after the measurement, while the reading still
  // counts as current: the silence must not start here.
  const AcquisitionHealth first = session.Acquisition().Health();
  const std::time_t lastGood = first.lastGoodWallMs / 1000;
  ASSERT_TRUE(session.Acquisition().Read().current);
  EXPECT_EQ(LostMails(session.Step(lastGood + 3, nullptr)), 0);

  Unplug();
  ASSERT_TRUE(WaitFor([&] { return session.Acquisition().Health().lastFault == ReadingFault::Unplugged; }, 60));
  ASSERT_TRUE(WaitFor([&] { return !session.Acquisition().Read().current; }, 30));
  const std::time_t lastGoodNow = session.Acquisition().Health().lastGoodWallMs / 1000;

  EXPECT_EQ(LostMails(session.Step(lastGoodNow + kLostAfterSeconds - 1, nullptr)), 0);
  const SessionStep lost = session.Step(lastGoodNow + kLostAfterSeconds, nullptr);
  ASSERT_EQ(LostMails(lost), 1);
  EXPECT_EQ(lost.mails[0].lastGoodAt, lastGoodNow);
  EXPECT_EQ(lost.mails[0].problem, alarms::SensorProblem::Unplugged);
  EXPECT_TRUE(session.Alarms().Firing().at(alarms::kAlarmSensorLost));
  // Told once.
  EXPECT_EQ(LostMails(session.Step(lastGoodNow + kLostAfterSeconds + 5, nullptr)), 0);
  session.Close(SensorSession::kStopWaitMs);
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, SensorLostTiming, ::testing::Values(Holder::Window, Holder::Service),
                         [](const auto& info) { return info.param == Holder::Window ? "Window" : "Service"; });

}  // namespace
}  // namespace km7::monitor
