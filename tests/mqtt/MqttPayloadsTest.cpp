#include "mqtt/MqttPayloads.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

namespace km7::mqtt {
namespace {

using nlohmann::json;

TEST(MqttPayloadsTest, TopicIdEscapesAndNeverMakesTwoSerialsOne) {
  EXPECT_EQ(TopicId("KM7A01"), "KM7A01");
  EXPECT_EQ(TopicId("KM7-A.01 /#+"), "KM7-A_2e01_20_2f_23_2b");
  EXPECT_EQ(TopicId("a_b-c"), "a_5fb-c");
  EXPECT_EQ(TopicId(""), "_");
  EXPECT_EQ(TopicId("\xB0"), "_b0");
  // Serials that dropping characters, or a careless escape, would merge.
  const char* serials[] = {"a/+#b", "ab", "a_b", "a_5fb", "a b", "a+b", "", "_", "_5f", "unknown", "a\xB0" "b"};
  std::set<std::string> ids;
  for (const char* s : serials) {
    const std::string id = TopicId(s);
    EXPECT_TRUE(ids.insert(id).second) << s << " -> " << id;
    EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"), std::string::npos)
        << id;
  }
  EXPECT_EQ(StateTopic("km7", "X1"), "km7/X1/state");
  EXPECT_EQ(StatusTopic("site/lab", "X1"), "site/lab/X1/status");
  EXPECT_EQ(ServiceStatusTopic("site/lab"), "site/lab/status");
  EXPECT_EQ(DiscoveryTopic("homeassistant", "X1"), "homeassistant/device/km7_X1/config");
  EXPECT_EQ(DiscoveryTopic("ha/test", "X1"), "ha/test/device/km7_X1/config");
  EXPECT_EQ(DiscoveryStatusTopic("ha/test"), "ha/test/status");
}

TEST(MqttPayloadsTest, PrefixMayNotHoldWildcardsOrEmptyLevels) {
  std::string error;
  for (const char* good : {"km7", "site/lab", "a-b_c"}) EXPECT_TRUE(ValidPrefix(good, error)) << good << error;
  for (const char* bad : {"", "km7/#", "a/+/b", "/km7", "km7/", "a//b", "bad\xB0", "$SYS/km7", "$km7"}) {
    EXPECT_FALSE(ValidPrefix(bad, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

status::SensorSnapshot Sensor() {
  status::SensorSnapshot s;
  s.name = "Lab \"1\"";
  s.serial = "KM7A01";
  s.up = true;
  s.temperatureC = 21.5;
  s.humidityPercent = 45.5;
  s.dewPointC = 9.25;
  s.lastGoodReading = std::chrono::system_clock::time_point(std::chrono::seconds(1765000000));
  s.crcErrorsTotal = 2;
  s.readingsFailedTotal = 1;
  s.alarms = {{"humidity_high", true}, {"sensor_lost", false}};
  s.mailsSentTotal = 3;
  return s;
}

TEST(MqttPayloadsTest, StateCarriesTheReadingOrNullsWhenNotUp) {
  json j = json::parse(StateJson(Sensor()));
  EXPECT_EQ(j["sensor"], "Lab \"1\"");
  EXPECT_EQ(j["serial"], "KM7A01");
  EXPECT_EQ(j["up"], true);
  EXPECT_EQ(j["temperature"], 21.5);
  EXPECT_EQ(j["humidity"], 45.5);
  EXPECT_EQ(j["dew_point"], 9.25);
  EXPECT_EQ(j["last_good_reading"], "2025-12-06T05:46:40Z");
  EXPECT_EQ(j["crc_errors"], 2);
  EXPECT_EQ(j["readings_failed"], 1);
  EXPECT_EQ(j["alarms"]["humidity_high"], true);
  EXPECT_EQ(j["alarms"]["sensor_lost"], false);
  EXPECT_EQ(j["mails_sent"], 3);

  // Rounded to the sensor's resolution: no 17-digit noise.
  status::SensorSnapshot noisy = Sensor();
  noisy.temperatureC = 45.205839600000004;
  noisy.humidityPercent = 40.004999;
  noisy.dewPointC = -3.14159;
  const std::string text = StateJson(noisy);
  EXPECT_NE(text.find("\"temperature\":45.21,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"humidity\":40.0,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"dew_point\":-3.14,"), std::string::npos) << text;
  for (int i = -5000; i <= 12000; i += 7) {
    noisy.dewPointC = i / 100.0 + 0.001;
    const json state = json::parse(StateJson(noisy));
    const std::string dumped = state["dew_point"].dump();
    const auto dot = dumped.find('.');
    EXPECT_TRUE(dot == std::string::npos || dumped.size() - dot <= 3) << dumped;
  }

  status::SensorSnapshot down = Sensor();
  down.up = false;
  down.name = "bad \xB0 byte";
  j = json::parse(StateJson(down));
  EXPECT_TRUE(j["temperature"].is_null());
  EXPECT_TRUE(j["humidity"].is_null());
  EXPECT_TRUE(j["dew_point"].is_null());
  EXPECT_EQ(j["up"], false);
  EXPECT_EQ(j["sensor"], "bad \xEF\xBF\xBD byte");
}

TEST(MqttPayloadsTest, DiscoveryDescribesTheDeviceAndItsThreeSensors) {
  DiscoveryInfo info;
  info.prefix = "km7";
  info.id = "KM7A01";
  info.name = "Lab";
  info.serial = "KM7A01";
  info.stateRefreshSeconds = 60;
  info.softwareVersion = "0.1.0";
  json j = json::parse(DiscoveryJson(info));
  EXPECT_EQ(j["device"]["identifiers"], json::array({"km7_KM7A01"}));
  EXPECT_EQ(j["device"]["name"], "Lab");
  EXPECT_EQ(j["device"]["serial_number"], "KM7A01");
  EXPECT_EQ(j["origin"]["name"], "km7");
  EXPECT_EQ(j["origin"]["sw_version"], "0.1.0");
  EXPECT_EQ(j["state_topic"], "km7/KM7A01/state");
  // Both the service and the module must be there.
  EXPECT_EQ(j["availability_mode"], "all");
  ASSERT_EQ(j["availability"].size(), 2u);
  EXPECT_EQ(j["availability"][0]["topic"], "km7/status");
  EXPECT_EQ(j["availability"][1]["topic"], "km7/KM7A01/status");
  for (const json& a : j["availability"]) {
    EXPECT_EQ(a["payload_available"], "online");
    EXPECT_EQ(a["payload_not_available"], "offline");
  }
  ASSERT_EQ(j["components"].size(), 3u);
  struct Want {
    const char* key;
    const char* deviceClass;
    const char* unit;
    const char* field;
  } wants[] = {{"km7_KM7A01_temperature", "temperature", "\xC2\xB0" "C", "temperature"},
               {"km7_KM7A01_humidity", "humidity", "%", "humidity"},
               {"km7_KM7A01_dew_point", "temperature", "\xC2\xB0" "C", "dew_point"}};
  for (const auto& w : wants) {
    const json& c = j["components"][w.key];
    EXPECT_EQ(c["platform"], "sensor") << w.key;
    EXPECT_EQ(c["unique_id"], w.key);
    EXPECT_EQ(c["device_class"], w.deviceClass);
    EXPECT_EQ(c["unit_of_measurement"], w.unit);
    EXPECT_EQ(c["value_template"], std::string("{{ value_json.") + w.field + " }}");
    // A steady value is sent once a refresh period: not stale before that.
    EXPECT_GT(c["expire_after"].get<double>(), info.stateRefreshSeconds);
  }
}

TEST(MqttPayloadsTest, ExpireAfterIsOneAndAHalfRefreshPeriodsAndNeverShort) {
  EXPECT_EQ(ExpireAfterSeconds(60), 90);
  EXPECT_EQ(ExpireAfterSeconds(10), 15);
  EXPECT_EQ(ExpireAfterSeconds(1), 10);
  EXPECT_EQ(ExpireAfterSeconds(0), 10);
  EXPECT_EQ(ExpireAfterSeconds(-3), 10);
  EXPECT_EQ(ExpireAfterSeconds(1e300), 3 * 86400 / 2);
}

}  // namespace
}  // namespace km7::mqtt
