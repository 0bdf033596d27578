#include "app/AlarmCheck.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

struct BandRun {
  km7::BandLatches latches;
  int sends = 0;
  bool idle = true;
  // Returns the number of sends the value caused.
  int Feed(double value, const km7::AlarmBand& band) {
    int before = sends;
    km7::CheckAlarmBand(value, band, latches, [this] { return idle; }, [this] { ++sends; });
    return sends - before;
  }
};

km7::AlarmBand High(float limit) { return km7::AlarmBand{1, limit, 0, 0.0f}; }
km7::AlarmBand Low(float limit) { return km7::AlarmBand{0, 0.0f, 1, limit}; }

TEST(AlarmCheck, HighBandFiresOnceAndReArmsBelowTheHysteresis) {
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

TEST(AlarmCheck, LowBandFiresBelowAndReArmsAboveLimitPlusOne) {
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

TEST(AlarmCheck, SinglePrecisionLimitIsWidenedNotRounded) {
  // 30.1f is 30.100000381..., so 30.1 (double) is below it.
  BandRun r;
  EXPECT_EQ(r.Feed(30.1, High(30.1f)), 0);
  EXPECT_EQ(r.Feed(30.1000004, High(30.1f)), 1);
}

TEST(AlarmCheck, InactiveLimitsNeitherFireNorTouchTheirLatch) {
  BandRun r;
  r.latches = {1, 1};
  km7::AlarmBand none{};
  EXPECT_EQ(r.Feed(1000.0, none), 0);
  EXPECT_EQ(r.Feed(-1000.0, none), 0);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

TEST(AlarmCheck, BusyDispatchHoldsTheAlarmForALaterTick) {
  BandRun r;
  r.idle = false;
  EXPECT_EQ(r.Feed(31.0, High(30.0f)), 0);
  EXPECT_EQ(r.latches.high, 0);
  r.idle = true;
  EXPECT_EQ(r.Feed(31.0, High(30.0f)), 1);
}

TEST(AlarmCheck, NotANumberNeitherFiresNorReArms) {
  BandRun r;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  km7::AlarmBand both{1, 30.0f, 1, 10.0f};
  EXPECT_EQ(r.Feed(nan, both), 0);
  r.latches = {1, 1};
  EXPECT_EQ(r.Feed(nan, both), 0);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

TEST(AlarmCheck, BothLimitsOfOneBandAreCheckedInOneCall) {
  // A band whose limits overlap: one value is above the high and below the low.
  BandRun r;
  km7::AlarmBand crossed{1, 10.0f, 1, 30.0f};
  EXPECT_EQ(r.Feed(20.0, crossed), 2);
  EXPECT_EQ(r.latches.high, 1);
  EXPECT_EQ(r.latches.low, 1);
}

}  // namespace
