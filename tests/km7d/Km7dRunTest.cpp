// km7d as a program against simulated modules: --once and --list, bad
// configuration, a port in use, and the service manager's notifications.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "Km7dProcess.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;
using Json = nlohmann::json;

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}

TEST(Km7dOnce, OneJsonLinePerModuleAndZeroWhenAllRead) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}));
  ASSERT_EQ(km7d.Run({"--once"}), 0) << km7d.Err();
  const auto lines = JsonLines(km7d.Out());
  ASSERT_EQ(lines.size(), 2u) << km7d.Out();
  std::map<std::string, Json> byName;
  for (const Json& l : lines) byName[l["sensor"]] = l;
  ASSERT_TRUE(byName.count("Lab") && byName.count("Cellar")) << km7d.Out();
  EXPECT_TRUE(byName["Lab"]["ok"].get<bool>());
  EXPECT_NEAR(byName["Lab"]["temperature_celsius"].get<double>(), 21.0, 0.05);
  EXPECT_NEAR(byName["Cellar"]["temperature_celsius"].get<double>(), 12.5, 0.05);
  EXPECT_NEAR(byName["Cellar"]["relative_humidity_percent"].get<double>(), 40.0, 0.5);
  EXPECT_EQ(byName["Cellar"]["serial"], "KM7T0002");
  EXPECT_TRUE(byName["Lab"].contains("dew_point_celsius"));
  // Values to the sensor's resolution: no digits of the arithmetic's noise.
  EXPECT_FALSE(std::regex_search(km7d.Out(), std::regex(R"(\d\.\d{3})"))) << km7d.Out();
}

TEST(Km7dOnce, OneWhenSomeModuleCannotBeRead) {
  TempDir dir;
  // A bridge with no sensor behind it never answers; another program holds
  // the second module.
  Km7dProcess km7d(dir.path(), SimModules({{"Good", 20.0}}) +
                                   "[module]\ndescription = Mute\nsensor = 0\n"
                                   "[module]\ndescription = Held\nin_use = 1\n");
  ASSERT_EQ(km7d.Run({"--once", "--once-timeout", "3"}), 1) << km7d.Err();
  const auto lines = JsonLines(km7d.Out());
  ASSERT_EQ(lines.size(), 3u) << km7d.Out();
  int ok = 0;
  for (const Json& l : lines) {
    if (l["ok"].get<bool>()) {
      ++ok;
      EXPECT_EQ(l["sensor"], "Good");
    } else if (l["sensor"] == "Mute") {
      EXPECT_NE(l["error"].get<std::string>().find("no good reading within 3 s"), std::string::npos) << l;
    } else {
      EXPECT_TRUE(l["sensor"].is_null()) << l;
      EXPECT_EQ(l["error"], "open in another program") << l;
    }
  }
  EXPECT_EQ(ok, 1);
}

TEST(Km7dOnce, NamedSensorsOnlyAndAMissingOneFails) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}));
  ASSERT_EQ(km7d.Run({"--once", "--sensor", "Cellar"}), 0) << km7d.Err();
  auto lines = JsonLines(km7d.Out());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["sensor"], "Cellar");

  ASSERT_EQ(km7d.Run({"--once", "--sensor", "Cellar", "--sensor", "Attic"}), 1);
  lines = JsonLines(km7d.Out());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["sensor"], "Attic");
  EXPECT_EQ(lines[1]["error"], "not attached");
}

TEST(Km7dOnce, NoModuleAttachedIsAFailure) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), "# no modules\n");
  EXPECT_EQ(km7d.Run({"--once"}), 1);
  EXPECT_NE(km7d.Err().find("no module attached"), std::string::npos) << km7d.Err();
  EXPECT_EQ(km7d.Out(), "");
}

TEST(Km7dList, NamesEveryModuleAndThoseHeldElsewhere) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}) +
                                   "[module]\ndescription = Held\nin_use = 1\n");
  ASSERT_EQ(km7d.Run({"--list"}), 0) << km7d.Err();
  EXPECT_EQ(km7d.Out(), "Lab\nCellar\n(1 module open in another program)\n");
}

// A name is what the module's memory says: an escape sequence in it is shown
// escaped, by --list and on standard error, and never reaches the terminal.
TEST(Km7dList, ControlCharactersInANameAreShownEscaped) {
  TempDir dir;
  const std::string hostile = "Lab\x1b]2;owned\x07\x1b[2J";
  Km7dProcess km7d(dir.path(), "[module]\ndescription = " + hostile + "\n[module]\ndescription = " + hostile + "\n");
  ASSERT_EQ(km7d.Run({"--list"}), 0) << km7d.Err();
  EXPECT_EQ(km7d.Out(), "Lab\\x1B]2;owned\\x07\\x1B[2J\nLab\\x1B]2;owned\\x07\\x1B[2J\n");

  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0"}));
  EXPECT_TRUE(km7d.WaitForErr("two modules are called \"Lab\\x1B]2;owned\\x07\\x1B[2J\"", 20s)) << km7d.Err();
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(10s), 0);
  EXPECT_EQ(km7d.Err().find('\x1b'), std::string::npos) << km7d.Err();
  EXPECT_EQ(km7d.Err().find('\x07'), std::string::npos) << km7d.Err();
}

TEST(Km7dStart, BadConfigurationLineNamedAndNothingStarts) {
  TempDir dir;
  const auto conf = dir / "bad.conf";
  WriteFile(conf, "# km7d\nsensor = Lab\nmetrics-listen = localhost:99999\n");
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  EXPECT_EQ(km7d.Run({"--config", conf.string()}, 10s), 2);
  EXPECT_NE(km7d.Err().find(conf.string() + ":3: metrics-listen: bad listen address"), std::string::npos)
      << km7d.Err();
  EXPECT_EQ(km7d.Err().find("watching"), std::string::npos) << km7d.Err();
}

TEST(Km7dStart, MetricsPortInUseIsAClearError) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string port = std::to_string(ntohs(a.sin_port));

  TempDir dir;
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  EXPECT_EQ(km7d.Run({"--metrics-listen", "127.0.0.1:" + port}, 20s), 1);
  EXPECT_NE(km7d.Err().find("cannot serve metrics"), std::string::npos) << km7d.Err();
  EXPECT_NE(km7d.Err().find(port), std::string::npos) << km7d.Err();
  ::close(fd);
}

TEST(Km7dStart, HelpAndVersionNeedNoModuleNorDisplay) {
  TempDir dir;
  Km7dProcess km7d(dir.path(), "");
  ASSERT_EQ(km7d.Run({"--version"}), 0);
  EXPECT_EQ(km7d.Out(), std::string("km7d ") + KM7_VERSION + "\n");
  ASSERT_EQ(km7d.Run({"--help"}), 0);
  EXPECT_NE(km7d.Out().find("--metrics-listen"), std::string::npos);
}

// A datagram socket standing in for the service manager's.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& path) : path_(path.string()) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~NotifySocket() { ::close(fd_); }
  bool Bound() const { return bound_; }
  // The next datagram within the timeout, with when it came; empty on none.
  std::string Next(std::chrono::milliseconds timeout, std::chrono::steady_clock::time_point& when) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    when = std::chrono::steady_clock::now();
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(Km7dNotify, ReadyThenWatchdogAtHalfThePeriod) {
  TempDir dir;
  NotifySocket manager(dir / "notify");
  ASSERT_TRUE(manager.Bound());
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}, {"Cellar", 12.5}}));
  km7d.env["NOTIFY_SOCKET"] = (dir / "notify").string();
  km7d.env["WATCHDOG_USEC"] = "2000000";  // keep-alives every second
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off"}));

  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> got;
  const auto end = std::chrono::steady_clock::now() + 20s;
  int watchdogs = 0;
  while (std::chrono::steady_clock::now() < end && watchdogs < 5) {
    std::chrono::steady_clock::time_point when;
    const std::string message = manager.Next(3s, when);
    if (message.empty()) continue;
    got.emplace_back(message, when);
    if (message == "WATCHDOG=1") ++watchdogs;
  }
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();

  std::string all;
  for (const auto& [m, w] : got) all += m + " | ";
  auto at = [&](const std::string& m) {
    for (std::size_t i = 0; i < got.size(); ++i)
      if (got[i].first == m) return static_cast<int>(i);
    return -1;
  };
  ASSERT_GE(at("READY=1"), 0) << all;
  // Ready only once both modules have their first reading: the status then
  // counts both.
  const int status = at("STATUS=2 modules watched, 0 alarms firing");
  EXPECT_GE(status, 0) << all;
  ASSERT_EQ(watchdogs, 5) << all;
  std::vector<std::chrono::steady_clock::time_point> times;
  for (const auto& [m, w] : got)
    if (m == "WATCHDOG=1") times.push_back(w);
  for (std::size_t i = 1; i < times.size(); ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(times[i] - times[i - 1]);
    // Half of two seconds; generous for a busy machine.
    EXPECT_GT(gap.count(), 600) << all;
    EXPECT_LT(gap.count(), 1600) << all;
  }
}

// The unit's own command line, under its own watchdog period: km7d takes
// every option the unit gives it and says it is ready well within the period.
TEST(Km7dNotify, TheUnitsCommandLineStartsAndIsReadyWithinItsWatchdog) {
  const std::string unit = ReadFile(std::string(KM7_SOURCE_DIR) + "/data/systemd/km7d.service");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(unit, m, std::regex("\nExecStart=(\\S+)([^\n]*)\n"))) << unit;
  std::istringstream words(m[2].str());
  std::vector<std::string> args;
  for (std::string w; words >> w;) {
    // The test's own settings file stands in for the installed one.
    if (w == "--settings" && words >> w) continue;
    args.push_back(w);
  }
  ASSERT_TRUE(std::regex_search(unit, m, std::regex("\nWatchdogSec=([0-9]+)\n"))) << unit;
  const int watchdogSeconds = std::stoi(m[1].str());

  TempDir dir;
  NotifySocket manager(dir / "notify");
  ASSERT_TRUE(manager.Bound());
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  km7d.env["NOTIFY_SOCKET"] = (dir / "notify").string();
  km7d.env["WATCHDOG_USEC"] = std::to_string(watchdogSeconds * 1000000LL);
  ASSERT_TRUE(km7d.Start(args));
  bool ready = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(watchdogSeconds);
  while (!ready && std::chrono::steady_clock::now() < end && km7d.Running()) {
    std::chrono::steady_clock::time_point when;
    ready = manager.Next(1s, when) == "READY=1";
  }
  EXPECT_TRUE(ready) << km7d.Err();
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
}

TEST(Km7dNotify, NoWatchdogForAnotherProcess) {
  TempDir dir;
  NotifySocket manager(dir / "notify");
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.0}}));
  km7d.env["NOTIFY_SOCKET"] = (dir / "notify").string();
  km7d.env["WATCHDOG_USEC"] = "1000000";
  km7d.env["WATCHDOG_PID"] = "1";  // the watchdog is another process's
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off"}));
  std::string all;
  const auto end = std::chrono::steady_clock::now() + 4s;
  while (std::chrono::steady_clock::now() < end) {
    std::chrono::steady_clock::time_point when;
    all += manager.Next(500ms, when) + "|";
  }
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0);
  EXPECT_NE(all.find("READY=1"), std::string::npos) << all;
  EXPECT_EQ(all.find("WATCHDOG=1"), std::string::npos) << all;
}

}  // namespace
