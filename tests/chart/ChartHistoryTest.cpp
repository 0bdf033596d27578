// The history buckets and the readout's texts.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <optional>
#include <string>
#include <cstdlib>
#include <ctime>

#include "chart/ChartHistory.h"
#include "chart/ChartText.h"
#include "support/CommaLocale.h"

namespace km7::chart {
namespace {

TEST(ChartHistory, RecordWidensTheCurrentBucketAndStampsIt) {
  History h;
  h.Advance(Reading{20.0, 50.0, 9.0});  // bucket 1 starts at the reading
  EXPECT_EQ(h.historyIndex, 1);
  EXPECT_EQ(h.time[1], 0);  // until the next tick
  struct Step {
    Reading r;
    double tMin, tMax, hMin, hMax;
  };
  const Step steps[] = {
      {{21.0, 49.0, 9.0}, 20.0, 21.0, 49.0, 50.0},
      {{19.5, 55.0, 8.0}, 19.5, 21.0, 49.0, 55.0},
      {{21.0, 49.0, 9.0}, 19.5, 21.0, 49.0, 55.0},  // equal to a bound: unchanged
      {{std::nan(""), std::nan(""), std::nan("")}, 19.5, 21.0, 49.0, 55.0},
  };
  std::int64_t now = 1000;
  for (const Step& s : steps) {
    h.Record(s.r, ++now);
    EXPECT_EQ(h.tempMin[1], s.tMin);
    EXPECT_EQ(h.tempMax[1], s.tMax);
    EXPECT_EQ(h.humMin[1], s.hMin);
    EXPECT_EQ(h.humMax[1], s.hMax);
    EXPECT_EQ(h.time[1], now);
  }
  EXPECT_EQ(h.dewMin[1], 8.0);
  EXPECT_EQ(h.dewMax[1], 9.0);
  EXPECT_EQ(h.time[0], 0);  // the other buckets are untouched
}

TEST(ChartHistory, NewBucketStartsAtTheReadingInSinglePrecision) {
  History h;
  h.Advance(Reading{25.1, 45.3, 12.7});
  EXPECT_EQ(h.tempMin[1], static_cast<double>(25.1f));
  EXPECT_EQ(h.tempMax[1], static_cast<double>(25.1f));
  EXPECT_NE(h.tempMin[1], 25.1);
  EXPECT_EQ(h.humMax[1], static_cast<double>(45.3f));
  EXPECT_EQ(h.dewMin[1], static_cast<double>(12.7f));
}

TEST(ChartHistory, AThousandAdvancesDropTheOldestTwoHundred) {
  History h;
  for (int i = 1; i <= 999; ++i) {
    h.time[h.historyIndex] = 5000 + h.historyIndex;
    EXPECT_FALSE(h.Advance(Reading{static_cast<double>(i), 50, 10}));
  }
  EXPECT_EQ(h.historyIndex, 999);
  h.time[999] = 5999;
  EXPECT_TRUE(h.Advance(Reading{77.0, 60, 11}));  // the thousandth
  EXPECT_EQ(h.historyIndex, 800);
  // Bucket 200 moved to 0, 999 to 799.
  EXPECT_EQ(h.time[0], 5200);
  EXPECT_EQ(h.tempMin[0], 200.0);
  EXPECT_EQ(h.time[799], 5999);
  EXPECT_EQ(h.tempMax[799], 999.0);
  // The new bucket is started; the rest is zero.
  EXPECT_EQ(h.tempMin[800], 77.0);
  EXPECT_EQ(h.humMax[800], 60.0);
  EXPECT_EQ(h.time[800], 0);
  for (int i = 801; i < kBucketCount; ++i) {
    ASSERT_EQ(h.time[i], 0) << i;
    ASSERT_EQ(h.tempMin[i], 0.0) << i;
    ASSERT_EQ(h.tempMax[i], 0.0) << i;
    ASSERT_EQ(h.humMin[i], 0.0) << i;
    ASSERT_EQ(h.humMax[i], 0.0) << i;
    ASSERT_EQ(h.dewMin[i], 0.0) << i;
    ASSERT_EQ(h.dewMax[i], 0.0) << i;
  }
}

TEST(ChartHistory, ClearZeroesEverythingAndTheFirstBucketWaitsForAReading) {
  History h;
  for (int i = 0; i < 5; ++i) {
    h.Record({25, 50, 10}, 1234);
    h.Advance(Reading{25, 50, 10});
  }
  h.Clear();
  EXPECT_EQ(h.historyIndex, 0);
  EXPECT_FALSE(h.HasValues(0));
  for (int i = 1; i < kBucketCount; ++i) {
    ASSERT_EQ(h.time[i], 0);
    ASSERT_EQ(h.tempMax[i], 0.0);
    ASSERT_EQ(h.dewMin[i], 0.0);
  }
  // The first reading starts it: its minimum is the reading, not 0.
  h.Record({25, 50, 10}, 1234);
  EXPECT_TRUE(h.HasValues(0));
  EXPECT_EQ(h.tempMin[0], 25.0);
  EXPECT_EQ(h.humMin[0], 50.0);
  EXPECT_EQ(h.dewMax[0], 10.0);
}

// A time without a current reading is a gap, never the last values again.
TEST(ChartHistory, BucketsStartedWithoutAReadingHoldNoValuesUntilOneComes) {
  History h;
  h.Record({25, 50, 10}, 1000);
  h.Advance(Reading{25, 50, 10});
  h.Record({25.5, 51, 10}, 1001);
  h.Advance(std::nullopt);  // lost
  h.Advance(std::nullopt);
  EXPECT_EQ(h.historyIndex, 3);
  for (int i : {2, 3}) {
    EXPECT_FALSE(h.HasValues(i)) << i;
    EXPECT_TRUE(std::isnan(h.humMax[i]) && std::isnan(h.dewMin[i])) << i;
    EXPECT_EQ(h.time[i], 0) << i;
    EXPECT_EQ(FormatReadout(h, i), (ReadoutTexts{"No Data", "--", "--", "--"})) << i;
  }
  EXPECT_TRUE(h.HasValues(1));
  EXPECT_EQ(h.tempMax[1], 25.5);
  // The reading is back: the open bucket starts at it and widens from there.
  h.Record({24.0, 40, 8}, 1002);
  h.Record({24.5, 41, 9}, 1003);
  EXPECT_TRUE(h.HasValues(3));
  EXPECT_EQ(h.tempMin[3], 24.0);
  EXPECT_EQ(h.tempMax[3], 24.5);
  EXPECT_EQ(h.humMin[3], 40.0);
  EXPECT_EQ(h.dewMax[3], 9.0);
  EXPECT_EQ(h.time[3], 1003);
  EXPECT_FALSE(h.HasValues(2));
  EXPECT_FALSE(h.HasValues(-1));
  EXPECT_FALSE(h.HasValues(kBucketCount));
}

class InUtc : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_F(InUtc, ClassicTimeTextBeforeAndAfter2038) {
  struct Case {
    std::int64_t t;
    const char* text;
  };
  const Case cases[] = {
      {1, "Thu Jan 01 00:00:01 1970 "},
      {1700000000, "Tue Nov 14 22:13:20 2023 "},
      {2147483647, "Tue Jan 19 03:14:07 2038 "},
      {2147483648LL, "Tue Jan 19 03:14:08 2038 "},  // one past 32-bit seconds
      {4102444800LL, "Fri Jan 01 00:00:00 2100 "},
  };
  for (const Case& c : cases) EXPECT_EQ(CtimeText(c.t), c.text) << c.t;
}

TEST_F(InUtc, ReadoutShowsTheBucketMinimaInBothUnits) {
  History h;
  h.time[5] = 2147483648LL;
  h.tempMin[5] = 25.0;
  h.tempMax[5] = 26.0;
  h.humMin[5] = 45.25;
  h.dewMin[5] = -3.5;
  EXPECT_EQ(FormatReadout(h, 5), (ReadoutTexts{"Tue Jan 19 03:14:08 2038 ", "Temp: 25.0\xB0" "C  77.0\xB0" "F ",
                                               "Hum: 45.2%", "Dew Pt: -3.5\xB0" "C  25.7\xB0" "F"}));
  // No tick touched bucket 6: no data, whatever its values.
  h.tempMin[6] = 30.0;
  EXPECT_EQ(FormatReadout(h, 6), (ReadoutTexts{"No Data", "--", "--", "--"}));
}

// The toolkit switches the C library to the user's locale; the readout
// prints numbers as the main window, the log and the mail do.
TEST_F(InUtc, ReadoutNumbersHaveADecimalPointInACommaLocale) {
  History h;
  h.time[7] = 1700000000;
  h.tempMin[7] = 25.0;
  h.humMin[7] = 45.25;
  h.dewMin[7] = -3.5;
  ReadoutTexts t;
  {
    km7::test::CommaLocale comma(LC_ALL);
    if (!comma.Active()) GTEST_SKIP() << "no comma locale installed";
    t = FormatReadout(h, 7);
  }
  EXPECT_EQ(t.temperature, "Temp: 25.0\xB0" "C  77.0\xB0" "F ");
  EXPECT_EQ(t.humidity, "Hum: 45.2%");
  EXPECT_EQ(t.dewPoint, "Dew Pt: -3.5\xB0" "C  25.7\xB0" "F");
}

TEST(ChartText, TitlesAndCaptionsInBothUnits) {
  struct Case {
    int scale, unit;
    const char* title;
    const char* caption;
  };
  const Case cases[] = {
      {0, 1, "T/H/D Chart (-55\xB0" "C to +125\xB0" "C)  ", "-55 to 125\xB0" "C"},
      {1, 1, "T/H/D Chart (-10\xB0" "C to +85\xB0" "C)  ", "-10 to 85\xB0" "C"},
      {2, 1, "T/H/D Chart (0\xB0" "C to +30\xB0" "C)  ", "0 to 30\xB0" "C"},
      {0, 0, "T/H/D Chart (-67\xB0" "F to +257\xB0" "F)  ", "-67\xB0 to 257\xB0" "F"},
      {1, 0, "T/H/D Chart (+14\xB0" "F to +185\xB0" "F)  ", "14\xB0 to 185\xB0" "F"},
      {2, 0, "T/H/D Chart (+32\xB0" "F to +86\xB0" "F)  ", "32\xB0 to 86\xB0" "F"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChartTitle(c.scale, c.unit, "Lab %s %n"), std::string(c.title) + "Lab %s %n");
    EXPECT_EQ(ScaleCaption(c.scale, c.unit), c.caption);
  }
}

}  // namespace
}  // namespace km7::chart
