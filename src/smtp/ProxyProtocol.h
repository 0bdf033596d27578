#pragma once
// The proxy handshakes as pure functions (request builders and reply
// parsers), so they can be tested and fuzzed without a socket: SOCKS4,
// SOCKS5 and HTTP CONNECT.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace km7 {
namespace proxy {

// The port and an IPv4 address (network order) as the SOCKS requests carry
// them, most significant byte first.
inline void AppendPort(std::vector<uint8_t>& out, uint16_t port) {
  out.push_back(static_cast<uint8_t>(port >> 8));
  out.push_back(static_cast<uint8_t>(port & 0xff));
}
inline void AppendIPv4(std::vector<uint8_t>& out, uint32_t addressNetworkOrder) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&addressNetworkOrder);
  out.insert(out.end(), bytes, bytes + 4);
}

// Largest HTTP proxy reply header accepted; a proxy sending more is broken.
inline constexpr size_t kMaxHttpReplyLength = 64 * 1024;

// SOCKS4 connect request (9 bytes, empty user id).
std::vector<uint8_t> Socks4Request(uint32_t addressNetworkOrder, uint16_t port);
// 0 when the 8-byte reply grants the request, else ERROR_BAD_NET_RESP.
uint32_t Socks4ReplyError(const uint8_t reply[8]);

// Method selection: 05 01 00, or 05 02 00 02 when a user name is offered.
std::vector<uint8_t> Socks5Greeting(bool offerUserPassword);
// The method chosen by the proxy: true (and 0) when credentials must follow,
// false (and 0) to go straight to the connect request; otherwise
// WSAECONNREFUSED.
uint32_t Socks5MethodError(uint8_t method, bool offeredUserPassword, bool& authenticate);
// User name/password sub-negotiation; ERROR_INVALID_PARAMETER when either is
// longer than 255 bytes (out stays empty).
uint32_t Socks5AuthRequest(std::string_view userName, std::string_view password, std::vector<uint8_t>& out);
// 0 when the 2-byte sub-negotiation reply accepts, else ERROR_ACCESS_DENIED.
uint32_t Socks5AuthReplyError(const uint8_t reply[2]);
// Connect request: IPv4 form for a dotted address and IPv6 form for an IPv6
// address (command always 1), else the domain-name form (command 3 when
// datagram). ERROR_INVALID_PARAMETER for a name longer than 255 bytes.
uint32_t Socks5ConnectRequest(const char* host, uint16_t port, bool datagram, std::vector<uint8_t>& out);

// Names the SOCKS4 and SOCKS5 reply codes for the user ("SOCKS5 proxy: host
// unreachable (reply 4)").
std::string Socks4ReplyText(uint8_t code);
std::string Socks5ReplyText(uint8_t code);
// The first line of an HTTP proxy reply, for the user.
std::string HttpStatusLine(std::string_view reply);

// State of a SOCKS5 connect reply gathered so far.
struct Socks5ReplyState {
  bool complete = false;  // the whole reply is there
  uint32_t error = 0;     // non-zero: the handshake fails with this code
  size_t needed = 0;      // when neither: bytes still to read (never beyond the reply)
};
inline constexpr size_t kSocks5ReplyBufferSize = 262;
Socks5ReplyState Socks5ConnectReplyState(const uint8_t* data, size_t length);

// The CONNECT request text; the credential and its Base64 form are wiped.
std::string HttpConnectRequest(const char* host, uint16_t port, const char* userName, const char* password,
                               const char* userAgent);
// True once the reply ends with the empty line.
bool HttpReplyComplete(std::string_view reply);
// 0 when the status after the first space is 200 (or there is no space),
// else ERROR_CONNECTION_REFUSED.
uint32_t HttpReplyError(std::string_view reply);

}  // namespace proxy
}  // namespace km7
