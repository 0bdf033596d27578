#include "smtp/ProxyProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "smtp/ErrorMessages.h"

namespace km7::proxy {

std::vector<uint8_t> Socks4Request(uint32_t addressNetworkOrder, uint16_t port) {
  std::vector<uint8_t> out{4, 1};
  out.reserve(9);
  AppendPort(out, port);
  AppendIPv4(out, addressNetworkOrder);
  out.push_back(0);
  return out;
}

uint32_t Socks4ReplyError(const uint8_t reply[8]) {
  return (reply[0] == 0 && reply[1] == 90) ? 0 : ERROR_BAD_NET_RESP;
}

std::string Socks4ReplyText(uint8_t code) {
  const char* meaning = "an unknown reply";
  switch (code) {
    case 90: meaning = "request granted"; break;
    case 91: meaning = "request rejected or failed"; break;
    case 92: meaning = "request rejected: the proxy cannot reach the client's identd"; break;
    case 93: meaning = "request rejected: identd reports another user"; break;
    default: break;
  }
  return "SOCKS4 proxy: " + std::string(meaning) + " (reply " + std::to_string(code) + ")";
}

}  // namespace km7::proxy
