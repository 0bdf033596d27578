// The pace of the shared connection's messages, on a made-up clock: what
// goes out for a steady value, a change, a lost module and a flood of
// "online".
#include "mqtt/MqttModules.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "mqtt/StatePacing.h"

namespace km7::mqtt {
namespace {

using namespace std::chrono_literals;
using Clock = ModuleTable::Clock;
using nlohmann::json;

status::SensorSnapshot Reading(const std::string& serial, double celsius) {
  status::SensorSnapshot s;
  s.name = "Lab " + serial;
  s.serial = serial;
  s.up = true;
  s.temperatureC = celsius;
  s.humidityPercent = 40;
  s.dewPointC = 7;
  s.lastGoodReading = std::chrono::system_clock::now();
  return s;
}

int CountKind(const std::vector<Outgoing>& out, Outgoing::Kind kind) {
  int n = 0;
  for (const Outgoing& m : out) n += m.kind == kind;
  return n;
}

struct Paced {
  ModuleTable table;
  Clock::time_point now = Clock::time_point() + 1000h;
  std::vector<Outgoing> sent;
  Paced() {
    table.Configure(MqttSettings{});
    table.Connected(now);
  }
  // Steps the network thread's loop every 100 ms for `d`.
  void Advance(std::chrono::milliseconds d) {
    for (auto end = now + d; now < end; now += 100ms) {
      auto out = table.Due(now);
      sent.insert(sent.end(), out.begin(), out.end());
    }
  }
};

TEST(MqttModulesTest, ASteadyValueIsSentOnceAMinuteAndAChangeAtOnce) {
  Paced r;
  // Ten minutes of readings every 1.5 s, jittering by one step of resolution
  // and by digits below it.
  std::vector<Clock::time_point> times;
  for (int i = 0; i < 400; ++i) {
    r.table.State(Reading("S1", 21.5 + (i % 2 ? 0.01 : 0.0) + (i % 3) * 1e-9));
    const std::size_t before = r.sent.size();
    r.Advance(1500ms);
    for (std::size_t k = before; k < r.sent.size(); ++k)
      if (r.sent[k].kind == Outgoing::Kind::State) times.push_back(r.now);
  }
  ASSERT_FALSE(times.empty());
  // At most two a minute (the goal), at least one a minute.
  EXPECT_LE(times.size(), 2u * 10 + 1);
  EXPECT_GE(times.size(), 10u);
  for (std::size_t k = 1; k < times.size(); ++k) EXPECT_LE(times[k] - times[k - 1], 61s);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Discovery), 1);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Status), 1);

  // A real change goes out with the next loop, rounded.
  r.sent.clear();
  r.table.State(Reading("S1", 22.0));
  r.Advance(200ms);
  ASSERT_EQ(CountKind(r.sent, Outgoing::Kind::State), 1);
  EXPECT_EQ(json::parse(r.sent.back().payload)["temperature"], 22.0);
  EXPECT_EQ(r.sent.back().topic, "km7/S1/state");
}

TEST(MqttModulesTest, WhatCountsAsAChange) {
  const status::SensorSnapshot base = Reading("S", 21.5);
  struct Case {
    const char* what;
    std::function<void(status::SensorSnapshot&)> change;
    bool changed;
  } cases[] = {
      {"one step of noise", [](auto& s) { s.temperatureC += 0.01; }, false},
      {"below the resolution", [](auto& s) { s.humidityPercent += 0.004; }, false},
      {"only the reading's time", [](auto& s) { s.lastGoodReading = std::chrono::system_clock::now() + 5s; }, false},
      {"two steps", [](auto& s) { s.temperatureC += 0.02; }, true},
      {"humidity", [](auto& s) { s.humidityPercent -= 0.5; }, true},
      {"dew point", [](auto& s) { s.dewPointC += 1; }, true},
      {"down", [](auto& s) { s.up = false; }, true},
      {"an alarm", [](auto& s) { s.alarms["humidity_high"] = true; }, true},
      {"a CRC error", [](auto& s) { s.crcErrorsTotal = 1; }, true},
      {"a mail sent", [](auto& s) { s.mailsSentTotal = 1; }, true},
      {"the name", [](auto& s) { s.name = "Cellar"; }, true},
  };
  for (const auto& c : cases) {
    status::SensorSnapshot next = base;
    c.change(next);
    EXPECT_EQ(StateChanged(base, next), c.changed) << c.what;
  }
  // Values of a sensor that is down are not compared.
  status::SensorSnapshot down = base, downOther = base;
  down.up = downOther.up = false;
  downOther.temperatureC = 99;
  EXPECT_FALSE(StateChanged(down, downOther));
}

TEST(MqttModulesTest, AFloodOfOnlineGivesOneRoundOfDiscoveryPerWindow) {
  Paced r;
  r.table.State(Reading("S1", 20));
  r.table.State(Reading("S2", 20));
  r.Advance(6s);
  ASSERT_EQ(CountKind(r.sent, Outgoing::Kind::Discovery), 2);
  r.sent.clear();
  // 1,000 "online" within a second: the first is answered at once, the rest
  // together when the window ends.
  for (int i = 0; i < 1000; ++i) {
    r.table.RequestDiscovery();
    if (i % 100 == 0) r.Advance(100ms);
  }
  r.Advance(30s);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Discovery), 4);
  // Each round sends the state as well, for the entities it made.
  EXPECT_LE(CountKind(r.sent, Outgoing::Kind::State), 4 + 2);
  // Quiet again: a later "online" is answered.
  r.sent.clear();
  r.table.RequestDiscovery();
  r.Advance(200ms);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Discovery), 2);
}

TEST(MqttModulesTest, SerialsThatLookAlikeGetTopicsAndIdsOfTheirOwn) {
  Paced r;
  r.table.State(Reading("a/+#b", 20));
  r.table.State(Reading("ab", 30));
  r.Advance(200ms);
  std::set<std::string> topics, uniqueIds;
  for (const Outgoing& m : r.sent) {
    EXPECT_TRUE(topics.insert(m.topic).second) << m.topic;
    EXPECT_EQ(m.topic.find_first_of("+#"), std::string::npos) << m.topic;
    if (m.kind != Outgoing::Kind::Discovery) continue;
    const json discovery = json::parse(m.payload);
    for (const auto& [key, c] : discovery["components"].items())
      EXPECT_TRUE(uniqueIds.insert(c["unique_id"].get<std::string>()).second) << key;
  }
  EXPECT_EQ(topics.size(), 6u);  // discovery, status and state of each
  EXPECT_EQ(uniqueIds.size(), 6u);
}

TEST(MqttModulesTest, ALostModuleIsOfflineAndItsStateNotRepeated) {
  Paced r;
  r.table.State(Reading("S1", 20));
  r.Advance(1s);
  r.sent.clear();
  r.table.Available("S1", false);
  r.Advance(5min);
  ASSERT_EQ(r.sent.size(), 1u);
  EXPECT_EQ(r.sent[0].topic, "km7/S1/status");
  EXPECT_EQ(r.sent[0].payload, "offline");
  EXPECT_TRUE(r.sent[0].retain);
  r.sent.clear();
  r.table.Available("S1", true);
  r.table.State(Reading("S1", 20));
  r.Advance(1s);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Status), 1);
  EXPECT_EQ(r.sent.front().payload, "online");
  // A reconnection announces everything again; a clean stop says offline.
  r.sent.clear();
  r.table.Connected(r.now);
  r.Advance(200ms);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Discovery), 1);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::Status), 1);
  EXPECT_EQ(CountKind(r.sent, Outgoing::Kind::State), 1);
  const auto bye = r.table.Goodbye();
  ASSERT_EQ(bye.size(), 1u);
  EXPECT_EQ(bye[0].payload, "offline");
}

}  // namespace
}  // namespace km7::mqtt
