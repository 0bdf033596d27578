// The alarm rules as one table: each case is a sequence of (time, reading)
// steps from a fresh state, and the mails every step must ask for. The state
// is carried from step to step exactly as the callers carry it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alarms/AlarmRules.h"

namespace km7::alarms {
namespace {

// A step: the time, the temperature (NaN-free), whether the reading is
// current, the mails expected, and what the acquisition saw when it is not.
// Mails as letters: A alarm, R repeat, B back to normal, S suppressed
// summary, L sensor lost, K sensor back. A digit after A or S is the number
// of suppressed excursions the mail names; after L the cause it names:
// u unplugged, n no answer, c CRC failures, - nothing seen.
struct Step {
  std::time_t t;
  double temperature;
  bool current;
  const char* mails;
  SensorProblem seen = SensorProblem::None;
};

constexpr SensorProblem kUnplugged = SensorProblem::Unplugged;
constexpr SensorProblem kNoAnswer = SensorProblem::NoAnswer;
constexpr SensorProblem kCrc = SensorProblem::CrcFailures;

struct Case {
  const char* name;
  RuleSettings settings;
  std::vector<Step> steps;
};

RuleSettings Band(double high, double low = -100.0) {
  RuleSettings s;
  s.temperatureOn = true;
  s.temperature = {true, high, low > -100.0, low};
  return s;
}
RuleSettings With(RuleSettings s, int lostSeconds, bool backToNormal, int repeatMinutes, int gapMinutes) {
  s.sensorLostSeconds = lostSeconds;
  s.backToNormal = backToNormal;
  s.repeatMinutes = repeatMinutes;
  s.minGapMinutes = gapMinutes;
  return s;
}

std::string Letters(const std::vector<RuleMail>& mails) {
  std::string out;
  for (const RuleMail& m : mails) {
    switch (m.kind) {
      case MailKind::Alarm: out += 'A'; break;
      case MailKind::Repeat: out += 'R'; break;
      case MailKind::BackToNormal: out += 'B'; break;
      case MailKind::Suppressed: out += 'S'; break;
      case MailKind::SensorLost: out += 'L'; break;
      case MailKind::SensorBack: out += 'K'; break;
    }
    if ((m.kind == MailKind::Alarm || m.kind == MailKind::Suppressed) && m.suppressed > 0)
      out += std::to_string(m.suppressed);
    if (m.kind == MailKind::SensorLost) {
      switch (m.problem) {
        case SensorProblem::Unplugged: out += 'u'; break;
        case SensorProblem::NoAnswer: out += 'n'; break;
        case SensorProblem::CrcFailures: out += 'c'; break;
        case SensorProblem::None: out += '-'; break;
      }
    }
  }
  return out;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"rules off: one mail per excursion, re-armed below the band by more than 1.0",
       Band(30.0),
       {{0, 29.0, true, ""}, {1, 30.5, true, "A"}, {2, 31.0, true, ""}, {3, 29.5, true, ""},
        {4, 30.5, true, ""}, {5, 28.9, true, ""}, {6, 30.1, true, "A"}}},
      {"exactly on the limit does not fire; exactly 1.0 inside does not re-arm",
       Band(30.0),
       {{0, 30.0, true, ""}, {1, 30.01, true, "A"}, {2, 29.0, true, ""}, {3, 30.5, true, ""}}},
      {"low limit fires below and re-arms above it plus 1.0",
       Band(40.0, 10.0),
       {{0, 20.0, true, ""}, {1, 9.0, true, "A"}, {2, 10.5, true, ""}, {3, 11.5, true, ""}, {4, 9.5, true, "A"}}},
      {"a reading that is not current neither fires nor re-arms",
       Band(30.0),
       {{0, 35.0, false, ""}, {1, 31.0, true, "A"}, {2, 20.0, false, ""}, {3, 31.0, true, ""}}},
      {"Email box off: no check",
       [] { RuleSettings s = Band(30.0); s.temperatureOn = false; return s; }(),
       {{0, 40.0, true, ""}, {1, 41.0, true, ""}}},
      {"sensor lost after N seconds without a current reading, back at the first good one",
       With(Band(30.0), 120, false, 0, 0),
       {{0, 20.0, true, ""}, {60, 20.0, false, ""}, {119, 20.0, false, ""}, {120, 20.0, false, "L-"},
        {500, 20.0, false, ""}, {501, 20.0, true, "K"}, {502, 20.0, true, ""}}},
      {"sensor lost counts from the start when no reading ever came",
       With(Band(30.0), 120, false, 0, 0),
       {{1000, 0.0, false, ""}, {1119, 0.0, false, ""}, {1120, 0.0, false, "L-"}}},
      {"sensor lost names what was seen last: unplugged",
       With(Band(30.0), 60, false, 0, 0),
       {{0, 20.0, true, ""}, {10, 0.0, false, "", kNoAnswer}, {30, 0.0, false, "", kUnplugged},
        {60, 0.0, false, "Lu", kUnplugged}}},
      {"sensor lost: a cycle without a cause keeps the last one seen (no answer)",
       With(Band(30.0), 60, false, 0, 0),
       {{0, 20.0, true, ""}, {10, 0.0, false, "", kNoAnswer}, {60, 0.0, false, "Ln"}}},
      {"sensor lost: CRC failures; once back, the next loss names its own cause",
       With(Band(30.0), 60, false, 0, 0),
       {{0, 20.0, true, ""}, {30, 0.0, false, "", kCrc}, {60, 0.0, false, "Lc", kCrc}, {70, 20.0, true, "K"},
        {80, 0.0, false, "", kUnplugged}, {130, 0.0, false, "Lu", kUnplugged}}},
      {"a loss shorter than N seconds says nothing, and its cause is not carried over",
       With(Band(30.0), 60, false, 0, 0),
       {{0, 20.0, true, ""}, {30, 0.0, false, "", kCrc}, {40, 20.0, true, ""}, {50, 0.0, false, ""},
        {100, 0.0, false, "L-"}}},
      {"sensor lost off: silence",
       Band(30.0),
       {{0, 20.0, true, ""}, {10000, 20.0, false, ""}}},
      {"back to normal after a mailed excursion",
       With(Band(30.0), 0, true, 0, 0),
       {{0, 31.0, true, "A"}, {60, 33.0, true, ""}, {120, 29.5, true, ""}, {180, 28.5, true, "B"},
        {240, 28.0, true, ""}}},
      {"repeat every N minutes while out of band, counted from the last mail",
       With(Band(30.0), 0, false, 5, 0),
       {{0, 31.0, true, "A"}, {299, 31.0, true, ""}, {300, 31.5, true, "R"}, {599, 31.0, true, ""},
        {600, 31.0, true, "R"}, {650, 28.0, true, ""}, {1000, 28.0, true, ""}}},
      {"repeat 0 never repeats",
       With(Band(30.0), 0, false, 0, 0),
       {{0, 31.0, true, "A"}, {100000, 31.0, true, ""}}},
      {"minimum gap: excursions within it are counted and named by the next mail",
       With(Band(30.0), 0, false, 0, 10),
       {{0, 31.0, true, "A"}, {60, 28.0, true, ""}, {120, 31.0, true, ""}, {180, 28.0, true, ""},
        {240, 31.0, true, ""}, {300, 28.0, true, ""}, {600, 28.0, true, "S2"}, {660, 31.0, true, ""},
        {1199, 31.0, true, ""}, {1200, 31.0, true, "A"}}},
      {"minimum gap: a held-back excursion still out when the gap ends is mailed then",
       With(Band(30.0), 0, false, 0, 10),
       {{0, 31.0, true, "A"}, {60, 28.0, true, ""}, {120, 31.0, true, ""}, {599, 31.0, true, ""},
        {600, 31.0, true, "A"}, {700, 28.0, true, ""}}},
      {"minimum gap with back to normal: a new excursion within the gap replaces the held one",
       With(Band(30.0), 0, true, 0, 10),
       {{0, 31.0, true, "A"}, {60, 28.0, true, ""}, {120, 31.0, true, ""}, {180, 28.0, true, ""},
        {660, 28.0, true, "S1"}}},
      {"minimum gap holds repeats: repeat 1 min, gap 2 min",
       With(Band(30.0), 0, false, 1, 2),
       {{0, 31.0, true, "A"}, {60, 31.0, true, ""}, {119, 31.0, true, ""}, {120, 31.0, true, "R"},
        {180, 31.0, true, ""}, {240, 31.0, true, "R"}}},
      {"minimum gap holds back to normal until it ends, then sends it once",
       With(Band(30.0), 0, true, 1, 2),
       {{0, 31.0, true, "A"}, {30, 28.0, true, ""}, {119, 28.0, true, ""}, {120, 28.0, true, "B"},
        {300, 28.0, true, ""}}},
      {"exactly on the low limit does not fire; exactly 1.0 above it does not re-arm",
       Band(40.0, 10.0),
       {{0, 10.0, true, ""}, {1, 9.99, true, "A"}, {2, 11.0, true, ""}, {3, 9.5, true, ""}}},
      {"repeat, back to normal and sensor lost together",
       With(Band(30.0), 30, true, 1, 0),
       {{0, 31.0, true, "A"}, {60, 32.0, true, "R"}, {70, 0.0, false, "", kNoAnswer}, {100, 0.0, false, "Ln"},
        {110, 31.0, true, "K"}, {120, 31.0, true, "R"}, {130, 25.0, true, "B"}}},
  };
  return cases;
}

TEST(AlarmRules, Table) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    RuleState state;
    for (const Step& s : c.steps) {
      RuleReading r;
      r.current = s.current;
      r.problem = s.seen;
      r.temperature = s.temperature;
      r.humidity = 50.0;
      // Real clocks are far from 0.
      const RuleStep out = StepRules(state, c.settings, r, s.t + 1700000000);
      EXPECT_EQ(Letters(out.mails), s.mails) << "at t=" << s.t;
      state = out.state;
    }
  }
}

// What the mails carry for their texts.
TEST(AlarmRules, MailsCarryPeakDurationAndLastGoodReading) {
  RuleSettings s = With(Band(30.0), 60, true, 0, 0);
  RuleState st;
  RuleReading r;
  r.current = true;
  auto step = [&](std::time_t t, double v, bool current = true, SensorProblem p = SensorProblem::None) {
    r.temperature = v;
    r.current = current;
    r.problem = p;
    RuleStep out = StepRules(st, s, r, t);
    st = out.state;
    return out.mails;
  };
  step(1000, 31.0);
  step(1010, 34.5);
  const auto back = step(1100, 28.0);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].firedAt, 1000);
  EXPECT_DOUBLE_EQ(back[0].peak, 34.5);
  EXPECT_DOUBLE_EQ(back[0].valueNow, 28.0);
  EXPECT_EQ(back[0].now - back[0].firedAt, 100);

  step(1200, 20.0);
  step(1230, 20.0, false, SensorProblem::CrcFailures);
  const auto lost = step(1260, 20.0, false);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0].lastGoodAt, 1200);
  EXPECT_EQ(lost[0].problem, SensorProblem::CrcFailures);

  // The silence counts from when the last good values were measured, not
  // from the last step that still called them current; a stamp from a clock
  // set meanwhile is not believed.
  struct {
    std::time_t measuredAt;
    std::time_t lastGood;
    bool lostAt1356;
  } stamps[] = {{1296, 1296, true}, {1300, 1300, false}, {1000, 1300, false}, {1400, 1300, false}};
  for (const auto& stamp : stamps) {
    SCOPED_TRACE(stamp.measuredAt);
    st = {};
    r.measuredAt = stamp.measuredAt;
    step(1300, 20.0);
    r.measuredAt = 0;
    EXPECT_EQ(st.lastGoodAt, stamp.lastGood);
    EXPECT_EQ(step(1356, 20.0, false).size(), stamp.lostAt1356 ? 1u : 0u);
  }
}

}  // namespace
}  // namespace km7::alarms
