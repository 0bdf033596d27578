#include "mqtt/MqttPayloads.h"

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

namespace km7::mqtt {

using nlohmann::json;

namespace {

// Text that is not UTF-8 would make the JSON library throw; the names come
// from a settings file in the platform's 8-bit text, converted by the caller,
// but a stray byte must not stop the publishing.
std::string JsonText(const std::string& s) { return json(s).dump(-1, ' ', false, json::error_handler_t::replace); }

json Number(double v) { return std::isfinite(v) ? json(RoundToResolution(v)) : json(nullptr); }

std::string IsoTime(std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

json Text(const std::string& s) { return json::parse(JsonText(s)); }

}  // namespace

std::string TopicId(std::string_view serial) {
  if (serial.empty()) return "_";
  static const char hex[] = "0123456789abcdef";
  std::string id;
  for (char c : serial) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-') {
      id += c;
    } else {
      const auto u = static_cast<unsigned char>(c);
      id += '_';
      id += hex[u >> 4];
      id += hex[u & 15];
    }
  }
  return id;
}

double RoundToResolution(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 1e12) return value;
  // A whole number of hundredths divided by 100 is the double nearest to the
  // decimal, which prints without noise digits.
  return std::round(value * 100) / 100;
}

bool ValidPrefix(std::string_view prefix, std::string& error) {
  auto fail = [&](const std::string& why) {
    error = "bad MQTT topic prefix \"" + std::string(prefix) + "\": " + why;
    return false;
  };
  if (prefix.empty()) return fail("it is empty");
  if (prefix.size() > 1024) return fail("it is too long");
  if (prefix.find_first_of("#+") != std::string_view::npos) return fail("'#' and '+' are wildcards, not topic text");
  if (prefix.front() == '$') return fail("topics starting with '$' are the broker's own");
  if (prefix.find('\0') != std::string_view::npos) return fail("it holds a NUL byte");
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos)
    return fail("it has an empty level");
  try {
    (void)json(std::string(prefix)).dump();
  } catch (const json::exception&) {
    return fail("it is not UTF-8");
  }
  error.clear();
  return true;
}

std::string StateTopic(std::string_view prefix, std::string_view id) {
  return std::string(prefix) + "/" + std::string(id) + "/state";
}

std::string StatusTopic(std::string_view prefix, std::string_view id) {
  return std::string(prefix) + "/" + std::string(id) + "/status";
}

std::string ServiceStatusTopic(std::string_view prefix) { return std::string(prefix) + "/status"; }

std::string DiscoveryTopic(std::string_view discoveryPrefix, std::string_view id) {
  return std::string(discoveryPrefix) + "/device/km7_" + std::string(id) + "/config";
}

std::string DiscoveryStatusTopic(std::string_view discoveryPrefix) {
  return std::string(discoveryPrefix) + "/status";
}

std::string StateJson(const status::SensorSnapshot& s) {
  json j;
  j["sensor"] = Text(s.name);
  j["serial"] = Text(s.serial);
  j["up"] = s.up;
  j["temperature"] = s.up ? Number(s.temperatureC) : json(nullptr);
  j["humidity"] = s.up ? Number(s.humidityPercent) : json(nullptr);
  j["dew_point"] = s.up ? Number(s.dewPointC) : json(nullptr);
  j["last_good_reading"] = s.lastGoodReading ? json(IsoTime(*s.lastGoodReading)) : json(nullptr);
  j["crc_errors"] = s.crcErrorsTotal;
  j["readings_failed"] = s.readingsFailedTotal;
  json alarms = json::object();
  for (const auto& [name, firing] : s.alarms) alarms[name] = firing;
  j["alarms"] = alarms;
  j["mail_outbox"] = s.mailOutboxMessages;
  j["mails_sent"] = s.mailsSentTotal;
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

int ExpireAfterSeconds(double stateRefreshSeconds) {
  double refresh = std::isfinite(stateRefreshSeconds) && stateRefreshSeconds > 0 ? stateRefreshSeconds : 1;
  double stale = std::ceil(1.5 * std::min(refresh, 86400.0));
  return std::max(10, static_cast<int>(stale));
}

std::string DiscoveryJson(const DiscoveryInfo& info) {
  const std::string base = "km7_" + info.id;
  auto component = [&](const char* key, const char* name, const char* deviceClass, const char* unit,
                       const char* field) {
    json c;
    c["platform"] = "sensor";
    c["name"] = name;
    c["unique_id"] = base + "_" + key;
    c["device_class"] = deviceClass;
    c["unit_of_measurement"] = unit;
    c["state_class"] = "measurement";
    c["value_template"] = std::string("{{ value_json.") + field + " }}";
    c["suggested_display_precision"] = 1;
    c["expire_after"] = ExpireAfterSeconds(info.stateRefreshSeconds);
    return c;
  };
  json j;
  json device;
  device["identifiers"] = json::array({base});
  device["name"] = info.name.empty() ? Text("km7 " + info.serial) : Text(info.name);
  device["model"] = "ORV-KM7";
  device["serial_number"] = Text(info.serial);
  if (!info.softwareVersion.empty()) device["sw_version"] = info.softwareVersion;
  j["device"] = device;
  json origin;
  origin["name"] = "km7";
  if (!info.softwareVersion.empty()) origin["sw_version"] = info.softwareVersion;
  j["origin"] = origin;
  json components;
  components[base + "_temperature"] = component("temperature", "Temperature", "temperature", "\u00b0C", "temperature");
  components[base + "_humidity"] = component("humidity", "Humidity", "humidity", "%", "humidity");
  components[base + "_dew_point"] = component("dew_point", "Dew point", "temperature", "\u00b0C", "dew_point");
  j["components"] = components;
  j["state_topic"] = StateTopic(info.prefix, info.id);
  json availability = json::array();
  for (const std::string& topic : {ServiceStatusTopic(info.prefix), StatusTopic(info.prefix, info.id)})
    availability.push_back({{"topic", topic}, {"payload_available", kOnline}, {"payload_not_available", kOffline}});
  j["availability"] = availability;
  j["availability_mode"] = "all";
  j["qos"] = 0;
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace km7::mqtt
