// km7 itself, started with nobody at the keyboard, against the simulated
// module and aiosmtpd on loopback: one mail per excursion; a module
// unplugged and plugged back; a value that stays out of band with repeat and
// back to normal on.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Km7Program.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace km7::test {
namespace {

class Km7ProgramAlarm : public Km7Program {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), {}, why)) << why;
  }

  km7::it::MailServer server_;
};

TEST_F(Km7ProgramAlarm, OneMailPerExcursionAndASecondAfterReArming) {
  // 30.0 °C with a sine of 2.0 over 120 readings (two per cycle): above
  // 31.0 after about five seconds, below 30.0 after about thirty, above
  // 31.0 again after about sixty-five.
  Sim(30.0, 2.0);
  const std::string s = "Lab Module";
  WriteSettings(server_.port(), "ORVKM7CFmode_Computer Room=1\r\n"
                                "ORVKM7EmailTempCC_" + s + "=boss@example.org\r\n"
                                "ORVKM7EmailTempBodyL2_" + s + "=line two\r\n"
                                "ORVKM7EmailTempBodyL3_" + s + "=line three\r\n"
                                "ORVKM7EmailTempBodyL4_" + s + "=line four\r\n");
  // Without the latch the first excursion alone (about twenty cycles above
  // 31.0) would send a mail at every tick.
  StartKm7();
  WaitUntil([&] { return server_.MessageCount() >= 2; }, 180s);
  std::this_thread::sleep_for(3s);  // long enough for a mail that should not come
  Kill();
  ASSERT_EQ(server_.MessageCount(), 2u);
  for (int index : {1, 2}) {
    const km7::it::RunResult check = km7::it::RunProgram(
        {km7::it::Python(), km7::it::ScriptDir() + "/check_message.py", "--spool",
         server_.spool().string(), "--index", std::to_string(index), "--count", "2", "--from",
         "km7@example.org", "--to", "oncall@example.org", "--cc", "boss@example.org", "--subject",
         "Lab too warm", "--multipart", "no"});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    const std::string m = Mail(server_, index).body;
    EXPECT_EQ(m.find("Sensor: Lab Module   Temp: 3"), 0u) << m;
    EXPECT_NE(m.find("Temperature has gone above 31.0\xB0"), std::string::npos) << m;
    EXPECT_NE(m.find("line two\nline three\nline four\n"), std::string::npos) << m;
  }
  const std::string log = Log();
  EXPECT_EQ(Count(log, " Temperature Alarm... Connecting to 127.0.0.1\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, " Status of connect to 127.0.0.1: 0\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, " Emailed a message\r\n"), 2u) << log;
  EXPECT_EQ(Count(log, "\r\n\r\nLogFile version 1.15\r\n"), 2u) << log;
}

// The rules end to end. A scenario is a start and a list of steps: each
// step changes the simulated module (or not), then the next mail must
// arrive no sooner and no later than given after that, with its subject
// starting and its body holding the texts given. Afterwards no further mail
// comes.
struct SimState {
  double temperature;
  double drift;
  const char* more;
};

struct Expected {
  std::optional<SimState> sim;  // the change of this step
  int notBeforeSeconds;
  int withinSeconds;
  const char* subject;
  const char* body;
};

struct Scenario {
  const char* name;
  const char* rules;  // settings lines of the rules
  SimState start;
  std::vector<Expected> mails;
};

// The period of a repeat is set in minutes; one is the shortest there is.
constexpr char kLost[] = "ORVKM7SensorLostOnOff_Lab Module=1\r\nORVKM7SensorLostSeconds_Lab Module=8\r\n";
constexpr char kRepeatAndBack[] =
    "ORVKM7RepeatMinutes_Lab Module=1\r\nORVKM7BackToNormalOnOff_Lab Module=1\r\n";
constexpr SimState kInBand{20.0, 0.0, ""};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios = {
      // Eight seconds without a reading, counted from the last good one:
      // that was measured up to a cycle (the 1 s pause and the conversions,
      // longer under a sanitizer) before the unplug, and the rules count
      // whole seconds. Not sooner than that, and within ten more.
      {"unplugged and plugged back",
       kLost,
       kInBand,
       {{SimState{20.0, 0.0, "present = 0\n"}, 6, 18, "sensor lost: Lab Module",
         "Seen: the module was unplugged"},
        {kInBand, 0, 20, "sensor back: Lab Module", "Sensor back at "}}},
      {"out of band, repeated every minute, then back to normal",
       kRepeatAndBack,
       SimState{35.0, 0.3, ""},
       {{std::nullopt, 0, 60, "Lab too warm", "Temperature has gone above 31.0"},
        {std::nullopt, 50, 75, "Lab too warm (still out of band)", "has been out of band for 1 min"},
        {std::nullopt, 50, 75, "Lab too warm (still out of band)", "has been out of band for 2 min"},
        {kInBand, 0, 30, "Lab too warm (back to normal)", "is back to normal."}}},
  };
  return scenarios;
}

class Km7ProgramRules : public Km7ProgramAlarm, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Km7ProgramRules, MailsArriveWhenTheRulesSay) {
  const Scenario& c = GetParam();
  Sim(c.start.temperature, c.start.drift, c.start.more);
  WriteSettings(server_.port(), std::string(c.rules) + DataLogSettings());
  StartKm7();
  // Measuring: the data log has its rows.
  ASSERT_TRUE(WaitUntil([&] { return DataLogRows().size() >= 2; }, 60s)) << Log();
  for (std::size_t i = 0; i < c.mails.size(); ++i) {
    const Expected& e = c.mails[i];
    SCOPED_TRACE(e.subject);
    if (e.sim) Sim(e.sim->temperature, e.sim->drift, e.sim->more);
    const auto from = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return server_.MessageCount() > i; }, std::chrono::seconds(e.withinSeconds + 30)))
        << Log();
    const auto took = Clock::now() - from;
    EXPECT_GE(took, std::chrono::seconds(e.notBeforeSeconds));
    EXPECT_LE(took, std::chrono::seconds(e.withinSeconds));
    ASSERT_EQ(server_.MessageCount(), i + 1) << Log();
    const SpooledMail m = Mail(server_, int(i) + 1);
    EXPECT_EQ(m.subject, e.subject) << m.body;
    EXPECT_NE(m.body.find(e.body), std::string::npos) << m.body;
  }
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(server_.MessageCount(), c.mails.size()) << Log();
  EXPECT_EQ(OutboxFiles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Km7ProgramRules, ::testing::ValuesIn(Scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

}  // namespace
}  // namespace km7::test
