// Token commands run for real: the token, a failure with its stderr, a
// command that hangs (stopped with what it started), one that is missing.
#include <gtest/gtest.h>

#include <chrono>

#include "smtp/TokenCommand.h"

namespace km7::oauth {
namespace {

using Clock = std::chrono::steady_clock;

TEST(RunTokenCommandTest, TheFirstLineIsTheToken) {
  const CommandOutcome o = RunTokenCommand({"printf", "  tok-123  \\nsecond line\\n"}, 10000);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.token, "tok-123");
}

TEST(RunTokenCommandTest, FailuresNameTheCommandAndShowItsStderr) {
  CommandOutcome o = RunTokenCommand({"sh", "-c", "echo 'refresh failed: \x1b[31mred' >&2; exit 3"}, 10000);
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.error.find("\"sh\" failed with exit status 3"), std::string::npos) << o.error;
  // Its stderr is shown, but no escape sequence reaches the terminal.
  EXPECT_NE(o.error.find("refresh failed: ?[31mred"), std::string::npos) << o.error;

  o = RunTokenCommand({"sh", "-c", "exit 0"}, 10000);
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.error.find("printed no token"), std::string::npos) << o.error;

  o = RunTokenCommand({"km7-no-such-token-helper"}, 10000);
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.error.find("cannot run the token command"), std::string::npos) << o.error;
}

TEST(RunTokenCommandTest, AHangingCommandIsStoppedAtItsLimitWithWhatItStarted) {
  const auto started = Clock::now();
  // The grandchild keeps the pipes open: stopping the command alone would
  // leave the wait running.
  const CommandOutcome o = RunTokenCommand({"sh", "-c", "sleep 60 & echo working on it >&2; sleep 60"}, 1000);
  const auto took = Clock::now() - started;
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.error.find("did not finish within 1 s"), std::string::npos) << o.error;
  EXPECT_NE(o.error.find("working on it"), std::string::npos) << o.error;
  EXPECT_LT(took, std::chrono::seconds(20));
}

}  // namespace
}  // namespace km7::oauth
