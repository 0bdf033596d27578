#pragma once
// --metrics-listen HOST:PORT: a numeric IPv4 address, or an IPv6 address in
// brackets, and a port.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace km7::metrics {

// Outside 9100-9999, which other exporters have taken, and away from the
// monitoring system's own ports (9090-9094).
inline constexpr std::uint16_t kDefaultMetricsPort = 9077;
inline constexpr const char* kDefaultMetricsListen = "127.0.0.1:9077";

struct ListenAddress {
  std::string host;  // the address as text, without brackets
  bool ipv6 = false;
  std::uint16_t port = kDefaultMetricsPort;  // 0: the system chooses
  // "127.0.0.1:9077" or "[::1]:9077".
  std::string ToString() const;
};

// Empty with the reason in `error` when `text` is not HOST:PORT.
std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& error);

}  // namespace km7::metrics
