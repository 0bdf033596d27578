// km7 itself against the simulated module and aiosmtpd on loopback, with
// the real retry schedule: a server that is down when the alarm fires gets
// the mail soon after it comes back, exactly once; a km7 killed with a
// message in its outbox sends it after the next start, exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Km7Program.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace km7::test {
namespace {

class Km7ProgramMail : public Km7Program {
 protected:
  void SetUp() override {
    port_ = km7::it::FreePort();
    Sim(35.0);
    WriteSettings(port_);
  }
  void StartServer() {
    km7::it::MailServerOptions opt;
    opt.port = port_;
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_ / "srv", opt, why)) << why;
  }

  km7::it::MailServer server_;
  int port_ = 0;
};

TEST_F(Km7ProgramMail, ServerDownAtTheExcursionGetsTheMailSoonAfterItComesBackExactlyOnce) {
  fs::create_directories(tmp_ / "srv");
  StartKm7();
  ASSERT_TRUE(WaitUntil([&] { return Log().find("failed, next attempt in 30 s") != std::string::npos; }, 60s))
      << Log();
  const auto firstFailure = Clock::now();
  EXPECT_EQ(OutboxFiles(), 1u);
  // Down for two minutes, km7 trying on its schedule meanwhile.
  std::this_thread::sleep_until(firstFailure + 120s);
  ASSERT_TRUE(Alive());
  StartServer();
  const auto up = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return server_.MessageCount() >= 1; }, 90s)) << Log();
  EXPECT_LT(Clock::now() - up, 60s);
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(server_.MessageCount(), 1u);
  EXPECT_EQ(OutboxFiles(), 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("Temperature alarm mail of Lab Module: sent"), std::string::npos) << log;
}

TEST_F(Km7ProgramMail, AMessageLeftInTheOutboxIsSentAfterTheNextStartExactlyOnce) {
  fs::create_directories(tmp_ / "srv");
  StartKm7();
  ASSERT_TRUE(WaitUntil([&] { return Log().find("failed, next attempt in 30 s") != std::string::npos; }, 60s))
      << Log();
  ASSERT_EQ(OutboxFiles(), 1u);
  Kill(SIGKILL);  // no exit sequence at all
  ASSERT_EQ(OutboxFiles(), 1u);
  // Back inside the band: the next start has nothing new to say.
  Sim(20.0);
  StartServer();
  StartKm7();
  ASSERT_TRUE(WaitUntil([&] { return server_.MessageCount() >= 1; }, 60s)) << Log();
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(server_.MessageCount(), 1u);
  EXPECT_EQ(OutboxFiles(), 0u);
  EXPECT_NE(Log().find("1 message(s) waiting from before"), std::string::npos) << Log();
}

// A server that accepts and never answers, for a minute: the monitoring
// goes on as if nothing happened. The data log at a 1 s interval has a row
// for every second and its values keep changing.
TEST_F(Km7ProgramMail, ASilentServerCostsNoReadingAndNoRow) {
  Sim(35.0, 2.0);
  WriteSettings(port_, DataLogSettings());
  km7::it::Daemon silent;
  ASSERT_TRUE(silent.Start({km7::it::Python(), KM7_SCRIPTED_SMTP, "--mode", "blackhole", "--port",
                            std::to_string(port_), "--port-file", (tmp_ / "silent.port").string()},
                           tmp_.path(), "silent"));
  ASSERT_TRUE(km7::it::WaitForPort(port_, silent));
  StartKm7();
  ASSERT_TRUE(WaitUntil([&] { return Log().find("Temperature Alarm... Connecting to") != std::string::npos; }, 60s))
      << Log();
  std::this_thread::sleep_for(62s);
  ASSERT_TRUE(Alive());
  Kill();
  // The attempt was still waiting for the server's answer all along.
  EXPECT_EQ(Log().find("Status of connect to 127.0.0.1: 0"), std::string::npos) << Log();
  EXPECT_EQ(OutboxFiles(), 1u);
  const std::vector<Row> rows = DataLogRows();
  ASSERT_GE(rows.size(), 60u) << km7::it::ReadFile(DataLogPath());
  std::time_t worst = 0;
  for (std::size_t i = 1; i < rows.size(); ++i) worst = std::max(worst, rows[i].time - rows[i - 1].time);
  // Rows carry whole seconds: one second apart is every row there.
  EXPECT_LE(worst, 1) << km7::it::ReadFile(DataLogPath());
  std::vector<std::string> temps;
  for (const Row& r : rows) temps.push_back(r.temperature);
  std::sort(temps.begin(), temps.end());
  EXPECT_GT(std::unique(temps.begin(), temps.end()) - temps.begin(), 10);
}

}  // namespace
}  // namespace km7::test
