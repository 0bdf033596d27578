// km7 itself against the simulated module and aiosmtpd on loopback, with
// the real retry schedule: a server that is down when the alarm fires gets
// the mail soon after it comes back, exactly once; a km7 killed with a
// message in its outbox sends it after the next start, exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class Km7ProgramMail : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = km7::it::FreePort();
    fs::create_directories(tmp_ / "config");
    Sim(35.0);
    const std::string s = "Lab Module";
    km7::it::WriteFile(tmp_ / "config/km7.INI",
                       "[MyORVKM7Ap]\r\n"
                       "ORVKM7Device_Computer Room=" + s + "\r\n"
                       "ORVKM7CFmode_" + s + "=1\r\n"
                       "ORVKM7TempEmailOnOff_" + s + "=1\r\n"
                       "ORVKM7EmailTempAbove_" + s + "=1\r\n"
                       "ORVKM7EmailTempAboveTemp_" + s + "=31.0\r\n"
                       "ORVKM7ServerName_" + s + "=127.0.0.1\r\n"
                       "ORVKM7PortNumber_" + s + "=" + std::to_string(port_) + "\r\n"
                       "ORVKM7EmailTempTo_" + s + "=oncall@example.org\r\n"
                       "ORVKM7EmailTempFrom_" + s + "=km7@example.org\r\n"
                       "ORVKM7EmailTempSubject_" + s + "=Lab too warm\r\n");
  }
  void TearDown() override { Kill(); }

  void Sim(double temperature, double drift = 0.0) {
    km7::it::WriteFile(tmp_ / "sim.conf.new", "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\n"
                                              "[module]\ndescription = Lab Module\ntemperature = " +
                                                  std::to_string(temperature) + "\nhumidity = 45.0\ndrift = " +
                                                  std::to_string(drift) + "\n");
    fs::rename(tmp_ / "sim.conf.new", tmp_ / "sim.conf");
  }

  void StartKm7() {
    std::vector<std::string> env = {
        "QT_QPA_PLATFORM=offscreen",
        std::string("LD_LIBRARY_PATH=") + KM7_SIM_DIR,
        "KM7_SIM_CONFIG=" + (tmp_ / "sim.conf").string(),
        "XDG_CONFIG_HOME=" + (tmp_ / "config").string(),
        "XDG_DATA_HOME=" + (tmp_ / "data").string(),
        "XDG_STATE_HOME=" + (tmp_ / "state").string(),
        "HOME=" + tmp_.path().string(),
    };
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = KM7_PROGRAM;
    char* argv[] = {program, nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program, nullptr, nullptr, argv, envp.data()), 0);
  }
  void Kill(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  bool Alive() {
    int status = 0;
    return pid_ > 0 && waitpid(pid_, &status, WNOHANG) == 0;
  }

  std::string Log() const {
    const fs::path p = tmp_ / "state/km7/emailerrstream.txt";
    return fs::exists(p) ? km7::it::ReadFile(p) : std::string();
  }
  std::size_t OutboxFiles() const {
    std::size_t n = 0;
    if (!fs::exists(tmp_ / "state/km7/outbox")) return 0;
    for (const auto& e : fs::directory_iterator(tmp_ / "state/km7/outbox")) n += e.path().extension() == ".mail";
    return n;
  }
  template <class Pred>
  bool WaitUntil(Pred pred, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
      if (Clock::now() > end || !Alive()) return false;
      std::this_thread::sleep_for(200ms);
    }
    return true;
  }
  void StartServer() {
    km7::it::MailServerOptions opt;
    opt.port = port_;
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_ / "srv", opt, why)) << why;
  }

  km7::it::TempDir tmp_;
  km7::it::MailServer server_;
  int port_ = 0;
  pid_t pid_ = -1;
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
  const fs::path dataLog = tmp_ / "lab.txt";
  std::string ini = km7::it::ReadFile(tmp_ / "config/km7.INI");
  ini += "ORVKM7Logging_Computer Room=1\r\nORVKM7LogFilePath_Lab Module=" + dataLog.string() +
         "\r\nORVKM7LoggingInterval_Lab Module=1\r\n";
  km7::it::WriteFile(tmp_ / "config/km7.INI", ini);
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
  const std::string text = km7::it::ReadFile(dataLog);
  std::vector<std::tm> times;
  std::vector<std::string> temps;
  std::size_t at = 0;
  while ((at = text.find("\r\n", at)) != std::string::npos) {
    at += 2;
    const std::string row = text.substr(at, text.find("\r\n", at) - at);
    std::tm t{};
    if (row.size() < 30 || strptime(row.c_str(), "%a %b %d %H:%M:%S %Y", &t) == nullptr) continue;
    times.push_back(t);
    temps.push_back(row.substr(25, row.find('\t', 26) - 25));
  }
  ASSERT_GE(times.size(), 60u) << text;
  int worst = 0;
  for (std::size_t i = 1; i < times.size(); ++i) {
    std::tm a = times[i - 1], b = times[i];
    worst = std::max(worst, static_cast<int>(std::difftime(mktime(&b), mktime(&a))));
  }
  // Rows carry whole seconds: one second apart is every row there.
  EXPECT_LE(worst, 1) << text;
  std::sort(temps.begin(), temps.end());
  EXPECT_GT(std::unique(temps.begin(), temps.end()) - temps.begin(), 10) << text;
}

}  // namespace
