// km7's own options answer before any window opens; the rest is Qt's.
#include <gtest/gtest.h>

#include <sstream>

#include "app/CommandLine.h"
#include "platform/Version.h"

namespace {

TEST(CommandLine, VersionPrintsTheProjectVersion) {
  std::ostringstream out;
  EXPECT_EQ(km7::AnswerInfoOptions({"--version"}, out), 0);
  EXPECT_EQ(out.str(), std::string("km7 ") + km7::Version() + "\n");
  EXPECT_STRNE(km7::Version(), "");
}

TEST(CommandLine, HelpNamesBothOptions) {
  for (const char* arg : {"--help", "-h"}) {
    std::ostringstream out;
    EXPECT_EQ(km7::AnswerInfoOptions({"-style", "fusion", arg}, out), 0) << arg;
    EXPECT_EQ(out.str(), km7::Km7HelpText());
  }
  EXPECT_NE(km7::Km7HelpText().find("--version"), std::string::npos);
}

TEST(CommandLine, AnythingElseStartsTheProgramAndPrintsNothing) {
  std::ostringstream out;
  EXPECT_FALSE(km7::AnswerInfoOptions({}, out).has_value());
  EXPECT_FALSE(km7::AnswerInfoOptions({"-platform", "offscreen", "--versions", "-help"}, out).has_value());
  EXPECT_EQ(out.str(), "");
}

}  // namespace
