// The one reporter through which the layers below the windows warn the user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Reporter.h"

namespace {

class ReporterTest : public ::testing::Test {
 protected:
  void TearDown() override { km7::SetReporter(nullptr); }
};

TEST_F(ReporterTest, TheInstalledReporterGetsTheTextAsItIs) {
  std::vector<std::string> told;
  km7::SetReporter([&](const std::string& text) { told.push_back(text); });
  km7::Report("Error: Can't Find FT_SetLatencyTimer.  ");
  km7::Report("\xB0" "F");
  EXPECT_EQ(told, (std::vector<std::string>{"Error: Can't Find FT_SetLatencyTimer.  ", "\xB0" "F"}));
}

TEST_F(ReporterTest, WithoutAReporterATextGoesNowhere) {
  std::vector<std::string> told;
  km7::SetReporter([&](const std::string& text) { told.push_back(text); });
  km7::SetReporter(nullptr);
  km7::Report("lost");
  EXPECT_TRUE(told.empty());
}

TEST_F(ReporterTest, AReporterMayReplaceItselfWhileReporting) {
  std::vector<std::string> first, second;
  km7::SetReporter([&](const std::string& text) {
    first.push_back(text);
    km7::SetReporter([&](const std::string& later) { second.push_back(later); });
  });
  km7::Report("one");
  km7::Report("two");
  EXPECT_EQ(first, std::vector<std::string>{"one"});
  EXPECT_EQ(second, std::vector<std::string>{"two"});
}

}  // namespace
