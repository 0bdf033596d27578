#include "smtp/ProxyProtocol.h"

#include <cstring>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"

namespace km7::proxy {

std::string HttpConnectRequest(const char* host, uint16_t port, const char* userName, const char* password,
                               const char* userAgent) {
  // Room for everything up front: a reallocation would leave a copy of the
  // credential behind in freed memory.
  const size_t userLength = userName != nullptr ? std::strlen(userName) : 0;
  const size_t passwordLength = password != nullptr ? std::strlen(password) : 0;
  std::string request;
  request.reserve(64 + (host != nullptr ? std::strlen(host) : 0) + 2 * (userLength + passwordLength) +
                  (userAgent != nullptr ? std::strlen(userAgent) : 0));
  request += "CONNECT ";
  // An IPv6 address goes in brackets, or its colons would read as the port's.
  const bool ipv6 = host != nullptr && std::strchr(host, ':') != nullptr;
  if (ipv6) request += '[';
  request += host != nullptr ? host : "";
  if (ipv6) request += ']';
  request += ':';
  request += std::to_string(port);
  request += " HTTP/1.0\r\n";
  if (userName != nullptr) {
    std::string credential;
    credential.reserve(userLength + passwordLength + 1);
    credential += userName;
    credential += ':';
    credential += password != nullptr ? password : "";
    std::string encoded = Base64Encode(credential, BASE64_NO_LINE_BREAKS);
    request += "Proxy-authorization: Basic ";
    request += encoded;
    request += "\r\n";
    Wipe(credential);
    Wipe(encoded);
  }
  if (userAgent != nullptr) {
    request += "User-Agent: ";
    request += userAgent;
    request += "\r\n";
  }
  request += "\r\n";
  return request;
}

std::string HttpStatusLine(std::string_view reply) {
  std::string_view line = reply.substr(0, reply.find_first_of("\r\n"));
  if (line.size() > 200) line = line.substr(0, 200);
  return "HTTP proxy: " + std::string(line);
}

bool HttpReplyComplete(std::string_view reply) {
  return reply.size() >= 4 && reply.substr(reply.size() - 4) == "\r\n\r\n";
}

uint32_t HttpReplyError(std::string_view reply) {
  const size_t space = reply.find(' ');
  if (space == std::string_view::npos) return 0;
  size_t i = space + 1;
  while (i < reply.size() && (reply[i] == ' ' || (reply[i] >= '\t' && reply[i] <= '\r'))) ++i;
  long status = 0;
  for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9'; ++i) {
    if (status > 100000) break;  // far from 200 already; keeps the sum bounded
    status = status * 10 + (reply[i] - '0');
  }
  return status == 200 ? 0 : ERROR_CONNECTION_REFUSED;
}

}  // namespace km7::proxy
