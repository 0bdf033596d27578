#pragma once
// --mqtt URL: mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (TLS).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace km7::mqtt {

inline constexpr std::uint16_t kDefaultMqttPort = 1883;
inline constexpr std::uint16_t kDefaultMqttsPort = 8883;

struct BrokerUrl {
  bool tls = false;
  std::string host;  // name or address, IPv6 without brackets
  std::uint16_t port = kDefaultMqttPort;
  std::string ToString() const;
};

// Empty with the reason in `error` when `text` is not such a URL. A user
// name or password in the URL is refused: they have options of their own,
// and a password on the command line is seen by every user of the machine.
std::optional<BrokerUrl> ParseBrokerUrl(std::string_view text, std::string& error);

}  // namespace km7::mqtt
