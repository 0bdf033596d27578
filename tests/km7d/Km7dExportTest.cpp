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
#include "support/MqttBroker.h"
#include "support/PrometheusServer.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;
namespace it = km7::it;
using Json = nlohmann::json;

TEST(Km7dPrometheus, ScrapedEverySecondTheQueryGivesTheTemperatureAndUpZeroAfterUnplug) {
  TempDir dir;
  // "Away" is unplugged after a few readings; "Lab" stays.
  Km7dProcess km7d(dir.path(), SimModules({{"Lab", 21.25}}) +
                                   "[module]\ndescription = Away\nserial = KM7AWAY\n"
                                   "temperature = 30\ndrift = 0\nunplug_after = 12\n");
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "127.0.0.1:0", "--device-poll", "1"}));
  const int target = km7d.MetricsPort();
  ASSERT_GT(target, 0) << km7d.Err();

  km7::test::PrometheusServer server;
  ASSERT_TRUE(server.Start(dir.path(), target)) << server.Logs();
  // Waiting for a value also waits out the server's start-up.
  EXPECT_TRUE(server.WaitFor(R"(km7_sensor_up{sensor="Lab"})", "1")) << server.Logs() << km7d.Err();
  const Json t = server.Query(R"(km7_temperature_celsius{sensor="Lab",serial="KM7T0001"})");
  ASSERT_EQ(t.size(), 1u) << t.dump();
  EXPECT_NEAR(std::stod(t[0]["value"][1].get<std::string>()), 21.25, 0.05);

  // Unplugged: up 0, no temperature, the other module untouched.
  EXPECT_TRUE(server.WaitFor(R"(km7_sensor_up{sensor="Away"})", "0", 90s)) << server.Logs() << km7d.Err();
  EXPECT_TRUE(server.WaitFor(R"(km7_temperature_celsius{sensor="Away"})", "", 30s)) << server.Logs();
  EXPECT_TRUE(server.WaitFor(R"(km7_sensor_up{sensor="Lab"})", "1", 5s)) << server.Logs();
  // The device poll says so on its own round, which may come after the scrape.
  EXPECT_TRUE(km7d.WaitForErr("module \"Away\" vanished", 30s)) << km7d.Err();

  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(5s), 0) << km7d.Err();
}

TEST(Km7dMqtt, DiscoveryStateOnlineThenTheRetainedOfflineAfterSigkill) {
  TempDir dir;
  km7::test::MqttBroker broker;
  std::string why;
  ASSERT_TRUE(broker.Start(dir, why)) << why;
  const int port = broker.port();
  // "<retained> <topic> <payload>" per message.
  it::Daemon watcher;
  ASSERT_TRUE(watcher.Start(broker.Sub({"-t", "km7/#", "-t", "homeassistant/#", "-F", "%r %t %p"}), dir.path(), "sub"));
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
  // A new subscriber gets the Will as the retained status of the service,
  // which every module's discovery names.
  EXPECT_TRUE(Eventually(
      [&] {
        const auto r = it::RunProgram(broker.Sub({"-t", "km7/status", "-C", "1", "-W", "2", "-F", "%r %p"}),
                                      {}, 10s);
        return r.out == "1 offline\n";
      },
      30s))
      << broker.daemon().Logs();
  watcher.Stop();
}

}  // namespace
