#include "mqtt/MqttUrl.h"

#include <arpa/inet.h>

#include <charconv>

namespace km7::mqtt {

namespace {

// A host name as the resolver takes it: letters, digits, '-', '.', '_'.
bool ValidHostName(std::string_view h) {
  if (h.empty() || h.size() > 253) return false;
  for (char c : h) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
              c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

std::string BrokerUrl::ToString() const {
  std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return std::string(tls ? "mqtts://" : "mqtt://") + h + ":" + std::to_string(port);
}

std::optional<BrokerUrl> ParseBrokerUrl(std::string_view text, std::string& error) {
  auto fail = [&](const std::string& why) -> std::optional<BrokerUrl> {
    error = "bad MQTT broker URL \"" + std::string(text) + "\": " + why;
    return std::nullopt;
  };
  BrokerUrl url;
  std::string_view rest;
  if (text.substr(0, 7) == "mqtt://") {
    rest = text.substr(7);
  } else if (text.substr(0, 8) == "mqtts://") {
    url.tls = true;
    url.port = kDefaultMqttsPort;
    rest = text.substr(8);
  } else {
    return fail("it must start with mqtt:// or mqtts://");
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('@') != std::string_view::npos)
    return fail("give the user with --mqtt-user and the password with --mqtt-password-file, not in the URL");
  if (rest.find_first_of("/?#") != std::string_view::npos) return fail("a path, query or fragment has no meaning here");
  std::string_view portText;
  bool hasPort = false;
  if (!rest.empty() && rest.front() == '[') {
    auto close = rest.find(']');
    if (close == std::string_view::npos) return fail("missing ']' after the IPv6 address");
    url.host = std::string(rest.substr(1, close - 1));
    in6_addr v6;
    if (inet_pton(AF_INET6, url.host.c_str(), &v6) != 1) return fail("\"" + url.host + "\" is not an IPv6 address");
    std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return fail("expected :PORT after ']'");
      portText = after.substr(1);
      hasPort = true;
    }
  } else {
    auto colon = rest.find(':');
    if (colon != std::string_view::npos) {
      if (rest.find(':', colon + 1) != std::string_view::npos)
        return fail("an IPv6 address goes in brackets: mqtt://[ADDRESS]:PORT");
      portText = rest.substr(colon + 1);
      hasPort = true;
      rest = rest.substr(0, colon);
    }
    url.host = std::string(rest);
    if (url.host.empty()) return fail("the host is missing");
    if (!ValidHostName(url.host)) return fail("\"" + url.host + "\" is not a host name or address");
  }
  if (hasPort) {
    unsigned value = 0;
    auto r = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (portText.empty() || r.ec != std::errc() || r.ptr != portText.data() + portText.size() || value == 0 ||
        value > 65535)
      return fail("the port must be a number from 1 to 65535");
    url.port = static_cast<std::uint16_t>(value);
  }
  error.clear();
  return url;
}

}  // namespace km7::mqtt
