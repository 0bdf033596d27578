// km7d end to end with the real consumers: the monitoring server scraping it
// every second, and an MQTT broker with a subscriber. Both from Debian's
// packages, on loopback, started and stopped here.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "Km7dProcess.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;
namespace it = km7::it;
using Json = nlohmann::json;

std::string UrlEncode(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The body of an HTTP answer.
std::string Body(const std::string& answer) {
  const auto p = answer.find("\r\n\r\n");
  return p == std::string::npos ? std::string() : answer.substr(p + 4);
}

bool Eventually(const std::function<bool()>& check, std::chrono::seconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (check()) return true;
    std::this_thread::sleep_for(250ms);
  }
  return check();
}

TEST(Km7dPrometheus, ScrapedEverySecondTheQueryGivesTheTemperatureAndUpZeroAfterUnplug) {
  const std::string prometheus = it::FindProgram("prometheus");
  ASSERT_FALSE(prometheus.empty()) << "prometheus is not installed (scripts/install-deps.sh)";
  TempDir dir;
  // "Away" is unplugged after a few readings; "Lab" stays.
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.25}}) +
                                   "[module]\ndescription = Away\nserial = KM7AWAY\n"
                                   "temperature = 30\ndrift = 0\nunplug_after = 12\n");
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0", "--device-poll", "1"}));
  const int target = km7d.MetricsPort();
  ASSERT_GT(target, 0) << km7d.Err();

  WriteFile(dir / "prometheus.yml",
            "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
            "scrape_configs:\n  - job_name: km7\n    static_configs:\n      - targets: ['127.0.0.1:" +
                std::to_string(target) + "']\n");
  it::Daemon server;
  int port = 0;
  for (int attempt = 0; attempt < 3 && port == 0; ++attempt) {
    const int p = it::FreePort();
    if (server.Start({prometheus, "--config.file=" + (dir / "prometheus.yml").string(),
                      "--storage.tsdb.path=" + (dir / "tsdb").string(),
                      "--web.listen-address=127.0.0.1:" + std::to_string(p), "--log.level=warn"},
                     dir.path(), "prometheus") &&
        it::WaitForPort(p, server, 60s)) {
      port = p;
    } else {
      server.Stop();
    }
  }
  ASSERT_GT(port, 0) << server.Logs();

  std::string last;
  auto value = [&](const std::string& query) -> std::string {
    const std::string body = Body(HttpGet(port, "/api/v1/query?query=" + UrlEncode(query)));
    const Json j = Json::parse(body, nullptr, false);
    last = body;
    if (j.is_discarded() || j.value("status", "") != "success") return "?";
    const Json& r = j["data"]["result"];
    if (r.size() != 1) return r.empty() ? "" : "many";
    return r[0]["value"][1].get<std::string>();
  };
  // Until its storage is ready the server answers 503 ("?"): wait for a value.
  EXPECT_TRUE(Eventually(
      [&] {
        const std::string v = value(R"(km7_temperature_celsius{sensor="Lab"})");
        return v != "" && v != "?";
      },
      60s))
      << last << km7d.Err();
  const std::string t = value(R"(km7_temperature_celsius{sensor="Lab",serial="KM7T0001"})");
  ASSERT_FALSE(t.empty() || t == "?") << last;
  EXPECT_NEAR(std::stod(t), 21.25, 0.05);
  EXPECT_TRUE(Eventually([&] { return value(R"(km7_sensor_up{sensor="Lab"})") == "1"; }, 30s)) << last;

  // Unplugged: up 0, no temperature, the other module untouched.
  EXPECT_TRUE(Eventually([&] { return value(R"(km7_sensor_up{sensor="Away"})") == "0"; }, 90s))
      << last << km7d.Err();
  EXPECT_TRUE(Eventually([&] { return value(R"(km7_temperature_celsius{sensor="Away"})") == ""; }, 30s))
      << last;
  EXPECT_EQ(value(R"(km7_sensor_up{sensor="Lab"})"), "1") << last;
  // The device poll says so on its own round, which may come after the scrape.
  EXPECT_TRUE(km7d.WaitForErr("module \"Away\" vanished", 30s)) << km7d.Err();

  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
  server.Stop();
}

// mosquitto on a free port of its own, anonymous, loopback only.
bool StartBroker(it::Daemon& broker, const std::filesystem::path& dir, int& port) {
  const std::string mosquitto = it::FindProgram("mosquitto");
  if (mosquitto.empty()) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = it::FreePort();
    WriteFile(dir / "mosquitto.conf", "listener " + std::to_string(port) +
                                          " 127.0.0.1\nallow_anonymous true\npersistence false\n");
    if (broker.Start({mosquitto, "-c", (dir / "mosquitto.conf").string()}, dir, "mosquitto") &&
        it::WaitForPort(port, broker, 30s))
      return true;
    broker.Stop();
  }
  return false;
}

TEST(Km7dMqtt, DiscoveryStateOnlineThenTheRetainedOfflineAfterSigkill) {
  TempDir dir;
  it::Daemon broker;
  int port = 0;
  ASSERT_TRUE(StartBroker(broker, dir.path(), port)) << broker.Logs();
  const std::string sub = it::FindProgram("mosquitto_sub");
  ASSERT_FALSE(sub.empty());
  // "<retained> <topic> <payload>" per message.
  it::Daemon watcher;
  ASSERT_TRUE(watcher.Start({sub, "-h", "127.0.0.1", "-p", std::to_string(port), "-t", "km7/#", "-t",
                             "homeassistant/#", "-F", "%r %t %p"},
                            dir.path(), "sub"));
  std::this_thread::sleep_for(500ms);

  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.25}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port)}));
  auto seen = [&](const std::string& what) { return watcher.Logs().find(what) != std::string::npos; };
  EXPECT_TRUE(Eventually([&] { return seen("homeassistant/device/km7_KM7T0001/config {"); }, 30s))
      << watcher.Logs() << km7d.Err();
  EXPECT_TRUE(Eventually([&] { return seen("km7/KM7T0001/status online"); }, 30s)) << watcher.Logs();
  EXPECT_TRUE(Eventually([&] { return seen("km7/KM7T0001/state {"); }, 30s)) << watcher.Logs();
  // The state carries the simulated temperature.
  std::istringstream lines(watcher.Logs());
  bool stateOk = false;
  for (std::string line; std::getline(lines, line);) {
    const auto p = line.find("km7/KM7T0001/state ");
    if (p == std::string::npos) continue;
    const Json j = Json::parse(line.substr(p + 19), nullptr, false);
    if (!j.is_discarded() && j.contains("temperature") && j["temperature"].is_number())
      stateOk = stateOk || std::abs(j["temperature"].get<double>() - 21.25) < 0.05;
  }
  EXPECT_TRUE(stateOk) << watcher.Logs();

  km7d.Signal(SIGKILL);
  km7d.Wait(5s);
  // A new subscriber gets the Will as the retained status.
  EXPECT_TRUE(Eventually(
      [&] {
        const auto r = it::RunProgram({sub, "-h", "127.0.0.1", "-p", std::to_string(port), "-t",
                                       "km7/KM7T0001/status", "-C", "1", "-W", "2", "-F", "%r %p"},
                                      {}, 10s);
        return r.out == "1 offline\n";
      },
      30s))
      << broker.Logs();
  watcher.Stop();
  broker.Stop();
}

}  // namespace
