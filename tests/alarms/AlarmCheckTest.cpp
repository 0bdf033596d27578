#include "alarms/AlarmCheck.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using km7::alarms::AlarmLatches;
using km7::alarms::BandAlarms;
using km7::alarms::CheckAlarms;
using km7::alarms::FiredAlarms;

struct BandRun {
  km7::alarms::BandLatches latches;
  bool idle = true;
  // Returns the number of alarms the value fired.
  int Feed(double value, const km7::AlarmBand& band) {
    const BandAlarms fired = km7::alarms::CheckAlarmBand(value, band, latches, idle);
    return int(fired.high) + int(fired.low);
  }
};

km7::AlarmBand High(float limit) { return km7::AlarmBand{1, limit, 0, 0.0f}; }
km7::AlarmBand Low(float limit) { return km7::AlarmBand{0, 0.0f, 1, limit}; }

TEST(AlarmCheckBand, HighBandFiresOnceAndReArmsBelowTheHysteresis) {
  BandRun r;
  const auto band = High(30.0f);
  EXPECT_EQ(r.Feed(30.0, band), 0);  // strict comparison
  EXPECT_EQ(r.Feed(30.1, band), 1);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.Feed(30.1, band), 0);  // same excursion
  EXPECT_EQ(r.Feed(29.5, band), 0);
  EXPECT_EQ(r.latches.high, 1);      // not yet back by more than 1.0
  EXPECT_EQ(r.Feed(29.0, band), 0);
  EXPECT_EQ(r.latches.high, 1);      // exactly 1.0 back is not enough
  EXPECT_EQ(r.Feed(28.9, band), 0);
  EXPECT_EQ(r.latches.high, 0);
  EXPECT_EQ(r.Feed(30.1, band), 1);
}

TEST(AlarmCheckBand, LowBandFiresBelowAndReArmsAboveLimitPlusOne) {
  BandRun r;
  const auto band = Low(10.0f);
  EXPECT_EQ(r.Feed(10.0, band), 0);
  EXPECT_EQ(r.Feed(9.9, band), 1);
  EXPECT_EQ(r.Feed(10.9, band), 0);
  EXPECT_EQ(r.latches.low, 1);
  EXPECT_EQ(r.Feed(9.0, band), 0);   // still the same excursion
  EXPECT_EQ(r.Feed(11.1, band), 0);
  EXPECT_EQ(r.latches.low, 0);
  EXPECT_EQ(r.Feed(9.9, band), 1);
}

TEST(AlarmCheckBand, SinglePrecisionLimitIsWidenedNotRounded) {
  // 30.1f is 30.100000381..., so 30.1 (double) is below it.
  BandRun r;
  EXPECT_EQ(r.Feed(30.1, High(30.1f)), 0);
  EXPECT_EQ(r.Feed(30.1000004, High(30.1f)), 1);
}

TEST(AlarmCheckBand, InactiveLimitsNeitherFireNorTouchTheirLatch) {
  BandRun r;
  r.latches = {1, 1};
  km7::AlarmBand none{};
  EXPECT_EQ(r.Feed(1000.0, none), 0);
  EXPECT_EQ(r.Feed(-1000.0, none), 0);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

TEST(AlarmCheckBand, BusyDispatchHoldsTheAlarmForALaterTick) {
  BandRun r;
  r.idle = false;
  EXPECT_EQ(r.Feed(31.0, High(30.0f)), 0);
  EXPECT_EQ(r.latches.high, 0);
  r.idle = true;
  EXPECT_EQ(r.Feed(31.0, High(30.0f)), 1);
}

TEST(AlarmCheckBand, NotANumberNeitherFiresNorReArms) {
  BandRun r;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  km7::AlarmBand both{1, 30.0f, 1, 10.0f};
  EXPECT_EQ(r.Feed(nan, both), 0);
  r.latches = {1, 1};
  EXPECT_EQ(r.Feed(nan, both), 0);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

TEST(AlarmCheckBand, BothLimitsOfOneBandAreCheckedInOneCall) {
  // A band whose limits overlap: one value is above the high and below the low.
  BandRun r;
  km7::AlarmBand crossed{1, 10.0f, 1, 30.0f};
  EXPECT_EQ(r.Feed(20.0, crossed), 2);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

// The whole reading: the switches, the kinds' own bands and latches, and
// values that are not current.
km7::alarms::AlarmValues At(double temperature, double humidity, bool current = true) {
  return {temperature, humidity, current};
}

struct Counts {
  int th, tl, hh, hl;
  bool operator==(const Counts&) const = default;
};
Counts Of(const FiredAlarms& f) {
  return {f.temperature.high, f.temperature.low, f.humidity.high, f.humidity.low};
}

const km7::AlarmBands kBands{{1, 30.0f, 1, 10.0f}, {1, 60.0f, 1, 20.0f}};

TEST(AlarmCheck, EachKindUsesItsOwnBandAndLatches) {
  AlarmLatches latches;
  EXPECT_EQ(Of(CheckAlarms(kBands, At(31.0, 40.0), {true, true}, latches, true)), (Counts{1, 0, 0, 0}));
  EXPECT_EQ(Of(CheckAlarms(kBands, At(31.0, 19.0), {true, true}, latches, true)), (Counts{0, 0, 0, 1}));
  EXPECT_EQ(latches.temperature.high, 1);
  EXPECT_EQ(latches.humidity.low, 1);
  EXPECT_EQ(latches.temperature.low + latches.humidity.high, 0);
  // Both back inside by more than the hysteresis: both re-armed, both fire again.
  EXPECT_EQ(Of(CheckAlarms(kBands, At(20.0, 40.0), {true, true}, latches, true)), (Counts{0, 0, 0, 0}));
  EXPECT_EQ(Of(CheckAlarms(kBands, At(9.0, 61.0), {true, true}, latches, true)), (Counts{0, 1, 1, 0}));
}

TEST(AlarmCheck, AKindSwitchedOffNeitherFiresNorReArms) {
  AlarmLatches latches;
  latches.humidity.high = 1;
  EXPECT_EQ(Of(CheckAlarms(kBands, At(31.0, 40.0), {false, true}, latches, true)), (Counts{0, 0, 0, 0}));
  EXPECT_EQ(latches.temperature.high, 0);
  EXPECT_EQ(latches.humidity.high, 0);  // humidity is on: back inside, re-armed
  latches.humidity.high = 1;
  EXPECT_EQ(Of(CheckAlarms(kBands, At(20.0, 40.0), {true, false}, latches, true)), (Counts{0, 0, 0, 0}));
  EXPECT_EQ(latches.humidity.high, 1);
}

TEST(AlarmCheck, ValuesThatAreNotCurrentNeitherFireNorReArm) {
  AlarmLatches latches;
  latches.temperature.high = 1;
  EXPECT_EQ(Of(CheckAlarms(kBands, At(20.0, 70.0, false), {true, true}, latches, true)), (Counts{0, 0, 0, 0}));
  EXPECT_EQ(latches.temperature.high, 1);
  EXPECT_EQ(latches.humidity.high, 0);
}

TEST(AlarmCheck, WhileASendRunsNothingFiresButLatchesReArm) {
  AlarmLatches latches;
  latches.temperature.high = 1;
  EXPECT_EQ(Of(CheckAlarms(kBands, At(20.0, 70.0), {true, true}, latches, false)), (Counts{0, 0, 0, 0}));
  EXPECT_EQ(latches.temperature.high, 0);
  EXPECT_EQ(latches.humidity.high, 0);  // held, not latched: fires on a later check
  EXPECT_EQ(Of(CheckAlarms(kBands, At(20.0, 70.0), {true, true}, latches, true)), (Counts{0, 0, 1, 0}));
}

}  // namespace
