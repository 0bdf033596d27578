#include "smtp/ProxyProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <iterator>

#include "smtp/ErrorMessages.h"

namespace km7::proxy {

std::vector<uint8_t> Socks5Greeting(bool offerUserPassword) {
  if (offerUserPassword) return {5, 2, 0, 2};
  return {5, 1, 0};
}

uint32_t Socks5MethodError(uint8_t method, bool offeredUserPassword, bool& authenticate) {
  authenticate = false;
  if (method == 0) return 0;
  if (offeredUserPassword && method == 2) {
    authenticate = true;
    return 0;
  }
  return WSAECONNREFUSED;
}

uint32_t Socks5AuthRequest(std::string_view userName, std::string_view password, std::vector<uint8_t>& out) {
  out.clear();
  if (userName.size() > 255 || password.size() > 255) return ERROR_INVALID_PARAMETER;
  out.reserve(userName.size() + password.size() + 3);
  out.push_back(1);
  out.push_back(static_cast<uint8_t>(userName.size()));
  out.insert(out.end(), userName.begin(), userName.end());
  out.push_back(static_cast<uint8_t>(password.size()));
  out.insert(out.end(), password.begin(), password.end());
  return 0;
}

uint32_t Socks5AuthReplyError(const uint8_t reply[2]) { return reply[1] == 0 ? 0 : ERROR_ACCESS_DENIED; }

uint32_t Socks5ConnectRequest(const char* host, uint16_t port, bool datagram, std::vector<uint8_t>& out) {
  out.clear();
  in_addr address{};
  if (host != nullptr && inet_pton(AF_INET, host, &address) == 1) {
    out = {5, 1, 0, 1};
    AppendIPv4(out, address.s_addr);
    AppendPort(out, port);
    return 0;
  }
  in6_addr address6{};
  if (host != nullptr && inet_pton(AF_INET6, host, &address6) == 1) {
    out = {5, 1, 0, 4};
    out.insert(out.end(), address6.s6_addr, address6.s6_addr + 16);
    AppendPort(out, port);
    return 0;
  }
  const size_t length = host != nullptr ? std::strlen(host) : 0;
  if (length > 255) return ERROR_INVALID_PARAMETER;
  out = {5, static_cast<uint8_t>(datagram ? 3 : 1), 0, 3, static_cast<uint8_t>(length)};
  out.insert(out.end(), host, host + length);
  AppendPort(out, port);
  return 0;
}

Socks5ReplyState Socks5ConnectReplyState(const uint8_t* data, size_t length) {
  Socks5ReplyState state;
  size_t total = 0;
  if (length < 4) {
    state.needed = 4 - length;
    return state;
  }
  switch (data[3]) {
    case 1:
      total = 10;
      break;
    case 3:
      if (length < 5) {
        state.needed = 5 - length;
        return state;
      }
      total = 7 + static_cast<size_t>(data[4]);
      break;
    case 4:
      // An IPv6 bound address: proxies answer with one when they reached
      // the destination over IPv6.
      total = 22;
      break;
    default:
      state.error = ERROR_INVALID_PARAMETER;
      return state;
  }
  if (length < total) {
    state.needed = total - length;
    return state;
  }
  state.complete = true;
  if (data[1] != 0) state.error = ERROR_BAD_NET_RESP;
  return state;
}

std::string Socks5ReplyText(uint8_t code) {
  static const char* const kMeanings[] = {
      "succeeded",          "general failure",      "connection not allowed by its rules",
      "network unreachable", "host unreachable",     "connection refused",
      "TTL expired",        "command not supported", "address type not supported",
  };
  const char* meaning = code < std::size(kMeanings) ? kMeanings[code] : "an unknown reply";
  return "SOCKS5 proxy: " + std::string(meaning) + " (reply " + std::to_string(code) + ")";
}

}  // namespace km7::proxy
