#include "metrics/ListenAddress.h"

#include <arpa/inet.h>

#include <charconv>

namespace km7::metrics {

std::string ListenAddress::ToString() const {
  std::string p = std::to_string(port);
  return ipv6 ? "[" + host + "]:" + p : host + ":" + p;
}

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error) {
  auto fail = [&](const std::string& why) -> std::optional<ListenAddress> {
    error = "bad listen address \"" + std::string(text) + "\": " + why;
    return std::nullopt;
  };
  ListenAddress a;
  std::string_view portText;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos) return fail("missing ']' after the IPv6 address");
    a.host = std::string(text.substr(1, close - 1));
    a.ipv6 = true;
    std::string_view rest = text.substr(close + 1);
    if (rest.empty() || rest.front() != ':') return fail("expected :PORT after ']'");
    portText = rest.substr(1);
    in6_addr v6;
    if (a.host.find('%') != std::string::npos || inet_pton(AF_INET6, a.host.c_str(), &v6) != 1)
      return fail("\"" + a.host + "\" is not an IPv6 address");
  } else {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return fail("expected HOST:PORT");
    a.host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
    if (a.host.find(':') != std::string::npos) return fail("an IPv6 address goes in brackets: [ADDRESS]:PORT");
    if (a.host.empty()) return fail("the address is missing (127.0.0.1 for this machine only, 0.0.0.0 for all)");
    in_addr v4;
    if (inet_pton(AF_INET, a.host.c_str(), &v4) != 1) return fail("\"" + a.host + "\" is not an IPv4 address");
  }
  if (portText.empty()) return fail("the port is missing");
  unsigned value = 0;
  auto r = std::from_chars(portText.data(), portText.data() + portText.size(), value);
  if (r.ec != std::errc() || r.ptr != portText.data() + portText.size() || value > 65535)
    return fail("the port must be a number from 0 to 65535");
  a.port = static_cast<std::uint16_t>(value);
  error.clear();
  return a;
}

}  // namespace km7::metrics
