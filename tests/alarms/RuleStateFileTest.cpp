// The rules' state kept on disk: a restart in the middle of an excursion
// mails nothing new, and what follows is as if there had been no restart.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Harness.h"
#include "alarms/RuleStateFile.h"

namespace km7::alarms {
namespace {

constexpr std::time_t kT0 = 1700000000;

RuleSettings Settings() {
  RuleSettings s;
  s.temperatureOn = true;
  s.temperature = {true, 30.0, true, 10.0};
  s.backToNormal = true;
  s.repeatMinutes = 10;
  s.sensorLostSeconds = 60;
  return s;
}

RuleReading At(double celsius) {
  RuleReading r;
  r.current = true;
  r.temperature = celsius;
  r.humidity = 50;
  return r;
}

TEST(RuleStateFile, ARestartEveryStepOfAnExcursionMailsAsOneRunWould) {
  it::TempDir dir;
  const std::string folder = (dir / "rules").string();
  const double values[] = {25, 31, 32, 33, 31, 31, 31, 28, 25, 25};
  std::string restarted, straight;
  RuleState one;
  for (int i = 0; i < 10; ++i) {
    const std::time_t now = kT0 + i * 120;
    // Each step a new program: the state comes only from the file.
    RuleStateFile file(folder, "Lab \xB0" "1/..");
    RuleState loaded = file.Load(now);
    RuleStep step = StepRules(loaded, Settings(), At(values[i]), now);
    ASSERT_TRUE(file.Save(step.state));
    for (const RuleMail& m : step.mails) restarted += char('0' + int(m.kind));
    RuleStep s2 = StepRules(one, Settings(), At(values[i]), now);
    one = s2.state;
    for (const RuleMail& m : s2.mails) straight += char('0' + int(m.kind));
  }
  EXPECT_EQ(restarted, straight);
  // Alarm, one repeat after ten minutes, back to normal.
  EXPECT_EQ(straight, std::string() + char('0' + int(MailKind::Alarm)) + char('0' + int(MailKind::Repeat)) +
                          char('0' + int(MailKind::BackToNormal)));
  RuleStateFile file(folder, "Lab \xB0" "1/..");
  struct stat st {};
  ASSERT_EQ(::stat(file.Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::filesystem::path(file.Path()).parent_path(), std::filesystem::path(folder));
}

TEST(RuleStateFile, DamagedOrOldFilesStartAfreshAndTheRoundTripIsExact) {
  RuleState s;
  s.lost = true;
  s.lastGoodAt = kT0;
  s.lastProblem = SensorProblem::Unplugged;
  s.crcErrors = 3;
  LimitState& l = s.At(Quantity::Humidity, Limit::Low);
  l = {true, true, kT0 + 5, 12.345678901234567, kT0 + 6, 2, kT0 + 7, true};
  const std::string bytes = SerializeRuleState(s);
  const auto back = ParseRuleState(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(SerializeRuleState(*back), bytes);
  EXPECT_EQ(back->At(Quantity::Humidity, Limit::Low).peak, 12.345678901234567);
  EXPECT_TRUE(back->At(Quantity::Humidity, Limit::Low).backPending);
  for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(ParseRuleState(bytes.substr(0, n))) << n;
  EXPECT_FALSE(ParseRuleState("km7-rules 0\n" + bytes.substr(bytes.find('\n') + 1)));
  std::string altered = bytes;
  altered.replace(altered.find("sensor 1"), 8, "sensor 2");
  EXPECT_FALSE(ParseRuleState(altered));

  it::TempDir dir;
  RuleStateFile file((dir / "rules").string(), "Lab");
  std::filesystem::create_directories(dir / "rules");
  it::WriteFile(file.Path(), bytes.substr(0, bytes.size() / 2));
  const RuleState fresh = file.Load(kT0 + 100);
  EXPECT_FALSE(fresh.lost);
  EXPECT_FALSE(fresh.At(Quantity::Humidity, Limit::Low).fired);
  EXPECT_EQ(fresh.startedAt, kT0 + 100);
  // A lost sensor stays lost, with its last good reading, so that its
  // "sensor back" mail still comes.
  ASSERT_TRUE(file.Save(s));
  const RuleState again = RuleStateFile((dir / "rules").string(), "Lab").Load(kT0 + 200);
  EXPECT_TRUE(again.lost);
  EXPECT_EQ(again.lastGoodAt, kT0);
}

}  // namespace
}  // namespace km7::alarms
