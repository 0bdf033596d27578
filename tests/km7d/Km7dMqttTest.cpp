// km7d against a real mosquitto broker on loopback: what the service sends,
// how often, and what a hostile or noisy peer on the broker costs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "Harness.h"
#include "Km7dProcess.h"
#include "support/MqttBroker.h"

namespace {

using namespace km7d_test;
using namespace std::chrono_literals;
namespace it = km7::it;
using Json = nlohmann::json;

// "<topic> <payload>" per line of the watcher's output.
std::vector<std::pair<std::string, std::string>> Messages(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> list;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    const auto space = line.find(' ');
    if (space != std::string::npos) list.emplace_back(line.substr(0, space), line.substr(space + 1));
  }
  return list;
}

int Count(const std::string& out, const std::string& topic, const std::string& payload = {}) {
  int n = 0;
  for (const auto& [t, p] : Messages(out)) n += t == topic && (payload.empty() || p == payload);
  return n;
}

int CountPrefix(const std::string& out, const std::string& prefix) {
  int n = 0;
  for (const auto& [t, p] : Messages(out)) n += t.rfind(prefix, 0) == 0;
  return n;
}

// A field of /proc/PID/status in kB; -1 when not there.
long ProcKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

struct MqttRig {
  TempDir dir;
  km7::test::MqttBroker broker;
  it::Daemon watcher;
  bool Start() {
    std::string why;
    if (!broker.Start(dir, why)) {
      ADD_FAILURE() << why;
      return false;
    }
    // Not homeassistant/status: the large message would land in the log.
    return watcher.Start(broker.Sub({"-t", "km7/#", "-t", "homeassistant/device/#", "-t", "ha/device/#", "-F", "%t %p"}), dir.path(),
                         "sub") &&
           Eventually([&] {
             broker.Publish("km7/probe", "x");
             return Count(watcher.Logs(), "km7/probe") > 0;
           });
  }
  std::string Seen() { return watcher.Logs(); }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(broker.port()); }
  // `payload` on `topic`, `copies` times, by one client.
  bool Flood(const std::string& topic, const std::string& line, int copies) {
    std::string input;
    for (int i = 0; i < copies; ++i) input += line + "\n";
    return it::RunProgram(broker.Client(it::FindProgram("mosquitto_pub"), {"-t", topic, "-l"}), input).exitCode == 0;
  }
};

TEST(Km7dMqtt, LookAlikeSerialsKeepTheirOwnIdsOnOneConnectionAndASteadyValueIsSentRarely) {
  if (it::FindProgram("mosquitto").empty()) GTEST_SKIP() << "mosquitto is not installed";
  MqttRig rig;
  ASSERT_TRUE(rig.Start()) << rig.watcher.Logs();
  // Serials that dropping characters would make one; a third module that is
  // unplugged after a few readings.
  Km7dProcess km7d(rig.dir.path(), "temperature_conversion_ms = 20\nhumidity_conversion_ms = 10\n"
                                   "[module]\ndescription = Slash\nserial = a/+#b\ntemperature = 20\ndrift = 0\n"
                                   "[module]\ndescription = Plain\nserial = ab\ntemperature = 30\ndrift = 0\n"
                                   "[module]\ndescription = Away\nserial = KM7AWAY\ntemperature = 25\ndrift = 0\n"
                                   "unplug_after = 6\n");
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off", "--device-poll", "1", "--mqtt", rig.Url()}));
  const std::string slash = "homeassistant/device/km7_a_2f_2b_23b/config";
  const std::string plain = "homeassistant/device/km7_ab/config";
  ASSERT_TRUE(Eventually([&] { return Count(rig.Seen(), slash) == 1 && Count(rig.Seen(), plain) == 1; }, 30s))
      << rig.Seen() << km7d.Err();
  ASSERT_TRUE(Eventually([&] { return Count(rig.Seen(), "km7/ab/state") >= 1; }, 30s)) << rig.Seen();
  const auto start = std::chrono::steady_clock::now();

  // Each module its own unique ids and state topic.
  std::set<std::string> uniqueIds, stateTopics;
  for (const auto& [topic, payload] : Messages(rig.Seen())) {
    if (topic != slash && topic != plain) continue;
    const Json j = Json::parse(payload);
    stateTopics.insert(j["state_topic"].get<std::string>());
    for (const auto& [key, c] : j["components"].items()) uniqueIds.insert(c["unique_id"].get<std::string>());
    EXPECT_EQ(j["availability"].size(), 2u) << payload;
  }
  EXPECT_EQ(stateTopics, (std::set<std::string>{"km7/a_2f_2b_23b/state", "km7/ab/state"}));
  EXPECT_EQ(uniqueIds.size(), 6u);

  // The unplugged module goes offline, retained; the others stay online.
  EXPECT_TRUE(Eventually([&] { return rig.broker.Retained("km7/KM7AWAY/status") == "offline"; }, 60s))
      << rig.Seen() << km7d.Err();
  EXPECT_EQ(rig.broker.Retained("km7/ab/status"), "online");
  EXPECT_EQ(rig.broker.Retained("km7/status"), "online");

  // Steady values: a state when a module appears, then one a minute. Twenty
  // seconds of readings (more than ten each) bring no more.
  std::this_thread::sleep_for(20s - (std::chrono::steady_clock::now() - start));
  const std::string seen = rig.Seen();
  EXPECT_LE(Count(seen, "km7/ab/state"), 2) << seen;
  EXPECT_LE(Count(seen, "km7/a_2f_2b_23b/state"), 2) << seen;
  std::string last;
  for (const auto& [t, p] : Messages(seen))
    if (t == "km7/ab/state") last = p;
  const Json state = Json::parse(last);
  EXPECT_EQ(state["temperature"], 30.0) << last;
  EXPECT_EQ(state["serial"], "ab") << last;

  // One connection all along: nobody was kicked off.
  const std::string log = rig.broker.daemon().Logs();
  std::size_t connects = 0;
  for (std::size_t at = log.find(" as km7-"); at != std::string::npos; at = log.find(" as km7-", at + 1)) ++connects;
  EXPECT_EQ(connects, 1u) << log;
  EXPECT_EQ(log.find("already connected"), std::string::npos) << log;

  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(10s), 0) << km7d.Err();
  EXPECT_EQ(rig.broker.Retained("km7/status"), "offline");
  EXPECT_EQ(rig.broker.Retained("km7/ab/status"), "offline") << rig.Seen() << km7d.Err();
}

TEST(Km7dMqtt, ALargeStatusMessageAndAFloodOfOnlineCostNeitherMemoryNorDiscoveries) {
  if (it::FindProgram("mosquitto").empty()) GTEST_SKIP() << "mosquitto is not installed";
  MqttRig rig;
  ASSERT_TRUE(rig.Start()) << rig.watcher.Logs();
  Km7dProcess km7d(rig.dir.path(), SimModules({{"Lab", 21.25}, {"Rack", 19.5}}));
  ASSERT_TRUE(km7d.Start({"--metrics-listen", "off", "--mqtt", rig.Url(), "--mqtt-discovery-prefix", "ha"}));
  auto discoveries = [&] { return CountPrefix(rig.Seen(), "ha/device/"); };
  ASSERT_TRUE(Eventually([&] { return discoveries() == 2 && Count(rig.Seen(), "km7/KM7T0002/state") >= 1; }, 30s))
      << rig.Seen() << km7d.Err();
  // The announcements at the connection open a window of discovery.
  std::this_thread::sleep_for(6s);
  ASSERT_EQ(discoveries(), 2) << rig.Seen();

  // 20 MB on the status topic: the broker is told not to send it.
  const long hwmBefore = ProcKb(km7d.pid(), "VmHWM");
  ASSERT_GT(hwmBefore, 0);
  const auto big = it::RunProgram(
      rig.broker.Client(it::FindProgram("mosquitto_pub"), {"-t", "ha/status", "-s"}), std::string(20 << 20, 'x'));
  ASSERT_EQ(big.exitCode, 0) << big.err;
  std::this_thread::sleep_for(3s);
  const long grown = ProcKb(km7d.pid(), "VmHWM") - hwmBefore;
  EXPECT_LT(grown, 8 * 1024) << "kB";
  EXPECT_EQ(discoveries(), 2);

  // 1,000 "online": one round at once, one when the window ends.
  ASSERT_TRUE(rig.Flood("ha/status", "online", 1000));
  std::this_thread::sleep_for(8s);
  EXPECT_GE(discoveries(), 2 + 2) << rig.Seen();
  EXPECT_LE(discoveries(), 2 + 4) << rig.Seen();
  // Still connected and answering.
  std::this_thread::sleep_for(2s);
  const int before = discoveries();
  ASSERT_TRUE(rig.broker.Publish("ha/status", "online"));
  EXPECT_TRUE(Eventually([&] { return discoveries() == before + 2; }, 15s)) << rig.Seen();
  EXPECT_EQ(rig.broker.Retained("km7/status"), "online");
  km7d.Signal(SIGTERM);
  EXPECT_EQ(km7d.Wait(10s), 0) << km7d.Err();
}

}  // namespace
