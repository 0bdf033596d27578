// The service's own parsing and escaping: --metrics-listen, --mqtt URLs,
// label values of the exposition and the MQTT topic id and prefix. The first
// byte chooses which.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "metrics/Exposition.h"
#include "metrics/ListenAddress.h"
#include "mqtt/MqttPayloads.h"
#include "mqtt/MqttUrl.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Undoes the label escaping; false on a backslash the escaping never writes.
bool Unescape(std::string_view s, std::string& out) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    if (s[i] == '\\') out += '\\';
    else if (s[i] == '"') out += '"';
    else if (s[i] == 'n') out += '\n';
    else return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string error;
  switch (data[0] % 4) {
    case 0: {
      auto a = km7::metrics::ParseListenAddress(text, error);
      Check(a.has_value() == error.empty());
      if (a) {
        // What was accepted prints as text that parses to the same address.
        auto again = km7::metrics::ParseListenAddress(a->ToString(), error);
        Check(again && again->host == a->host && again->port == a->port && again->ipv6 == a->ipv6);
      }
      break;
    }
    case 1: {
      auto u = km7::mqtt::ParseBrokerUrl(text, error);
      Check(u.has_value() == error.empty());
      if (u) {
        Check(!u->host.empty() && u->port != 0);
        Check(u->host.find_first_of("@/?# \r\n") == std::string::npos);
        auto again = km7::mqtt::ParseBrokerUrl(u->ToString(), error);
        Check(again && again->host == u->host && again->port == u->port && again->tls == u->tls);
      }
      break;
    }
    case 2: {
      const std::string escaped = km7::metrics::EscapeLabelValue(text);
      Check(escaped.find('\n') == std::string::npos);
      // No unescaped quote ends the value early, and escaping is undone
      // exactly (bytes that are not UTF-8 aside, which are replaced).
      std::string back;
      Check(Unescape(escaped, back));
      Check(km7::metrics::EscapeLabelValue(back) == escaped);
      if (back.size() == text.size()) Check(back == text || back.find("\xEF\xBF\xBD") != std::string::npos);
      break;
    }
    case 3: {
      const std::string id = km7::mqtt::TopicId(text);
      Check(!id.empty());
      for (char c : id)
        Check((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-');
      if (km7::mqtt::ValidPrefix(text, error)) {
        const std::string topic = km7::mqtt::StateTopic(text, id);
        Check(topic.find_first_of("#+") == std::string::npos && topic.find("//") == std::string::npos);
      }
      km7::status::SensorSnapshot s;
      s.name = std::string(text);
      s.serial = std::string(text);
      Check(!km7::mqtt::StateJson(s).empty());
      break;
    }
  }
  return 0;
}
