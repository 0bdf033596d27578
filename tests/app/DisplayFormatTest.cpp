#include "app/DisplayFormat.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "support/CommaLocale.h"

namespace {

TEST(DisplayFormat, CelsiusTemperatureAndDewPointEndInOneBlank) {
  EXPECT_EQ(km7::FormatTemperatureText(20.0, 1), "20.0 \xB0" "C ");
  EXPECT_EQ(km7::FormatDewPointText(9.08, 1), "9.1 \xB0" "C ");
  EXPECT_EQ(km7::FormatTemperatureText(-40.0, 1), "-40.0 \xB0" "C ");
}

TEST(DisplayFormat, FahrenheitTemperatureEndsInThreeBlanksDewPointInOne) {
  EXPECT_EQ(km7::FormatTemperatureText(20.0, 0), "68.0 \xB0" "F   ");
  EXPECT_EQ(km7::FormatDewPointText(9.08, 0), "48.3 \xB0" "F ");
  EXPECT_EQ(km7::FormatTemperatureText(-40.0, 0), "-40.0 \xB0" "F   ");
}

TEST(DisplayFormat, NeitherUnitGivesNoText) {
  EXPECT_EQ(km7::FormatTemperatureText(20.0, -1), "");
  EXPECT_EQ(km7::FormatDewPointText(20.0, -1), "");
  EXPECT_EQ(km7::FormatTemperatureText(20.0, 2), "");
}

TEST(DisplayFormat, HumidityIsValueBlankPercentBlank) {
  EXPECT_EQ(km7::FormatHumidityText(49.42), "49.4 % ");
  EXPECT_EQ(km7::FormatHumidityText(100.0), "100.0 % ");
  EXPECT_EQ(km7::FormatHumidityText(-3.85), "-3.9 % ");
}

TEST(DisplayFormat, RoundsLikePrintfOnTheBinaryValue) {
  EXPECT_EQ(km7::FormatOneDecimal(0.05), "0.1");   // 0.05000000000000000277
  EXPECT_EQ(km7::FormatOneDecimal(0.25), "0.2");   // exact tie: to even
  EXPECT_EQ(km7::FormatOneDecimal(0.35), "0.3");   // 0.34999999999999997780
  EXPECT_EQ(km7::FormatOneDecimal(-0.04), "-0.0");
  EXPECT_EQ(km7::FormatOneDecimal(1e20), "100000000000000000000.0");
}

TEST(DisplayFormat, NonFiniteValuesReadAsTheCLibraryPrintsThem) {
  EXPECT_EQ(km7::FormatOneDecimal(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(km7::FormatOneDecimal(-std::numeric_limits<double>::quiet_NaN()), "-nan");
  EXPECT_EQ(km7::FormatOneDecimal(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(DisplayFormat, DecimalPointSurvivesACommaLocale) {
  km7::test::CommaLocale comma;
  if (!comma.Active()) GTEST_SKIP() << "no comma locale installed";
  EXPECT_EQ(km7::FormatTemperatureText(20.0, 1), "20.0 \xB0" "C ");
}

TEST(DisplayFormat, BadReadingCarriesTheCount) {
  EXPECT_EQ(km7::FormatBadReading(1), "bad reading (1)");
  EXPECT_EQ(km7::FormatBadReading(2147483647), "bad reading (2147483647)");
}

}  // namespace
