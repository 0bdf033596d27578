// Token commands run for real: the token, a failure with its stderr, a
// command that hangs (stopped with what it started), one that is missing.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

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

// A token cut at a limit, or one with bytes that would add fields to the
// SASL message, would only fail later at the server, or worse; each fails
// here with a reason.
TEST(RunTokenCommandTest, OversizeOutputAndBytesThatCannotBeInATokenAreRefused) {
  const struct {
    std::vector<std::string> argv;
    const char* error;
  } cases[] = {
      {{"sh", "-c", "head -c 10000000 /dev/zero | tr '\\0' a"}, "printed more than 64 KB"},
      {{"printf", "tok\\001user=other\\n"}, "control character"},
      {{"printf", "tok\\033[2J\\n"}, "control character"},
      {{"printf", "tok en\\n"}, "a blank"},
      {{"printf", "t\\303\\251\\n"}, "non-ASCII"},
  };
  for (const auto& c : cases) {
    const CommandOutcome o = RunTokenCommand(c.argv, 20000);
    EXPECT_FALSE(o.ok) << c.argv.back();
    EXPECT_TRUE(o.token.empty()) << c.argv.back();
    EXPECT_NE(o.error.find(c.error), std::string::npos) << c.argv.back() << ": " << o.error;
  }
}

bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  // Gone, or a zombie waiting for a parent that does not reap.
  return text.empty() || text.find(") Z ") != std::string::npos;
}

// The command printed its token and ended; the child it left behind holds
// its output open. The token is taken at once and the child is ended.
TEST(RunTokenCommandTest, AChildLeftHoldingTheOutputIsEndedAndTheTokenTaken) {
  const std::filesystem::path pidFile =
      std::filesystem::temp_directory_path() / ("km7-token-child-" + std::to_string(::getpid()));
  const auto started = Clock::now();
  const CommandOutcome o =
      RunTokenCommand({"sh", "-c", "sleep 60 & echo $! > '" + pidFile.string() + "'; echo tok-1"}, 15000);
  const auto took = Clock::now() - started;
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.token, "tok-1");
  EXPECT_LT(took, std::chrono::seconds(10));
  pid_t child = 0;
  std::ifstream(pidFile) >> child;
  std::filesystem::remove(pidFile);
  ASSERT_GT(child, 0);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = Gone(child);
    if (!gone) ::usleep(50000);
  }
  EXPECT_TRUE(gone) << "the child " << child << " is still running";
  if (!gone) ::kill(child, SIGKILL);
}

}  // namespace
}  // namespace km7::oauth
