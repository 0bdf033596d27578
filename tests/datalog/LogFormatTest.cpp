#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>

#include "datalog/LogFormat.h"
#include "support/CommaLocale.h"

namespace {

// 2026-12-06 16:53:12 UTC, a Sunday; the tests run with TZ=UTC.
constexpr std::time_t kSunday = 1796575992;

class LogFormat : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_F(LogFormat, RowIsByteForByteTheDocumentedOne) {
  km7::LogValues v{22.5, 45.3, 10.2};
  EXPECT_EQ(km7::LogRow(kSunday, v),
            "Sun Dec 06 16:53:12 2026\t 22.50\t72.50\t45.30\t10.20\t50.36\n");
}

TEST_F(LogFormat, TimeTextHas24CharactersAndALeadingZeroDay) {
  const std::string t = km7::LogTimeText(kSunday - 5 * 86400);  // Tue Dec 01
  EXPECT_EQ(t, "Tue Dec 01 16:53:12 2026");
  EXPECT_EQ(t.size(), 24u);
}

TEST_F(LogFormat, NumbersIgnoreTheNumericLocaleAndRoundToTwoDecimals) {
  // A comma-decimal locale, if the machine has one, must not leak into rows.
  km7::LogValues v{-40.0, 0.005, -0.004};
  const std::string row = [&] {
    km7::test::CommaLocale comma;
    return km7::LogRow(kSunday, v);
  }();
  EXPECT_EQ(row.substr(24), "\t -40.00\t-40.00\t0.01\t-0.00\t31.99\n");
}

TEST_F(LogFormat, NonFiniteDewPointIsWrittenAsTheCLibraryWritesIt) {
  km7::LogValues v{20.0, -4.05, std::nan("")};
  const std::string row = km7::LogRow(kSunday, v);
  EXPECT_NE(row.find("\t-4.05\tnan\tnan\n"), std::string::npos) << row;
}

TEST_F(LogFormat, HeaderLineUsesTheDegreeByte) {
  EXPECT_EQ(km7::LogHeaderLine(),
            "\tTemp \xB0" "C\t\xB0" "F\tHumidity %\tDew Point \xB0" "C\t\xB0" "F \n");
}

TEST_F(LogFormat, DefaultNameHasNoLeadingZerosInMonthAndDay) {
  EXPECT_EQ(km7::DefaultLogFileName("Lab", kSunday), "Lab_1262026-165312");
}

TEST_F(LogFormat, DefaultNameReplacesCharactersAFileNameCannotHold) {
  EXPECT_EQ(km7::DefaultLogFileName("Rack 3/4: \"A\"", kSunday), "Rack 3_4_ _A__1262026-165312");
  EXPECT_EQ(km7::DefaultLogFileName("Computer\r\n Room", kSunday), "Computer__ Room_1262026-165312");
}

}  // namespace
