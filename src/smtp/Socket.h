#pragma once
// The SMTP client's transport: one IPv4 stream socket that raises
// CWSocketException for every failing call, waits for readability with a
// time-out, and connects directly or through a SOCKS4, SOCKS5 or HTTP CONNECT
// proxy. Error numbers are the Windows values (see ErrorMessages.h).
//
// The proxy handshakes are split into pure functions (request builders and
// reply parsers, namespace km7::proxy) so they can be tested and fuzzed
// without a socket.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/Tls.h"

class CWSocketException : public std::exception {
 public:
  // An error code of 0 takes the last socket error of this thread (errno,
  // mapped onto the Windows socket error numbers).
  explicit CWSocketException(uint32_t errorCode);
  // detail says what the peer answered (a proxy's status line, a SOCKS
  // reply code) or what the TLS layer reported.
  CWSocketException(uint32_t errorCode, std::string detail);

  uint32_t GetErrorCode() const { return m_errorCode; }
  const std::string& GetDetail() const { return m_detail; }

  // Writes our text for the code (cut to size - 1 bytes) and returns true; a
  // number without text gives an empty buffer and false. *helpContext is set
  // to 0 when given.
  bool GetErrorMessage(char* buffer, size_t size, unsigned* helpContext = nullptr) const;
  std::string GetErrorMessage() const;

  const char* what() const noexcept override { return m_what.c_str(); }

 private:
  uint32_t m_errorCode;
  std::string m_what;
  std::string m_detail;
};

class CWSocket {
 public:
  CWSocket() = default;
  ~CWSocket();
  CWSocket(const CWSocket&) = delete;
  CWSocket& operator=(const CWSocket&) = delete;

  static constexpr int kInvalidSocket = -1;

  // IPv4 socket, SOCK_DGRAM when datagram is true, SOCK_STREAM otherwise.
  // Connect replaces it with an IPv6 one when the host's address is IPv6.
  void Create(bool datagram = false);
  // Binds to port (host order) on localAddress: nullptr means any address;
  // otherwise a dotted IPv4 address or a host name (first address of the
  // lookup). An unresolvable name raises WSAEINVAL (10022). Connect binds
  // again when it has to change the socket's address family.
  void Bind(uint16_t port, const char* localAddress = nullptr);
  // Bound on a connection attempt unless the caller gives its own.
  static constexpr uint32_t kDefaultConnectTimeoutMs = 60000;

  // Connects to host: an IPv4 or IPv6 address, else the addresses of the
  // lookup tried in the resolver's order (a failed lookup raises the
  // resolver's error, e.g. 11001). The lookup and the attempts together are
  // bounded by timeoutMs; a peer that does not answer in time raises
  // WSAETIMEDOUT (10060), a lookup that does not finish WSATRY_AGAIN. The
  // socket then stays open for the caller to close.
  void Connect(const char* host, uint16_t port, uint32_t timeoutMs = kDefaultConnectTimeoutMs);
  // Runs the TLS handshake over the connected socket (or proxy tunnel) within
  // timeoutMs; from then on Send, Receive and WaitReadable carry TLS. Raises
  // km7::tls::HandshakeError (the socket stays open for the caller to close).
  void StartTls(const std::string& serverName, const km7::tls::Options& options, uint32_t timeoutMs);
  bool IsTls() const { return m_tls != nullptr; }
  // The negotiated version, cipher and certificate subject; nullptr before
  // StartTls.
  const km7::tls::Info* GetTlsInfo() const { return m_tls ? &m_tls->info() : nullptr; }
  // Sends every byte (repeating after partial sends) and returns the length.
  // When the peer takes nothing for the send time-out, raises ERROR_TIMEOUT.
  size_t Send(const void* data, size_t length, int flags = 0);
  // Bound on each wait for room to send; 0 (the default) waits as long as
  // it takes.
  void SetSendTimeout(uint32_t timeoutMs) { m_sendTimeoutMs = timeoutMs; }
  // One receive of at most size bytes; 0 when the peer has closed.
  size_t Receive(void* buffer, size_t size, int flags = 0);
  // True when the socket is readable (data or a close pending) within
  // timeoutMs milliseconds, false when the time ran out.
  bool WaitReadable(uint32_t timeoutMs);
  // The same until a point in time, for waits that share one bound.
  bool WaitReadableUntil(km7::tls::Clock::time_point deadline);
  // Closes an open socket; returns the close result, or kInvalidSocket when
  // none was open. Never raises.
  int Close();

  bool IsOpen() const { return m_socket != kInvalidSocket; }
  int GetHandle() const { return m_socket; }

  // The proxy operations connect to the proxy first (a failure there leaves
  // the socket open for the caller), then run the handshake; any failure in
  // the handshake closes the socket and raises the same code. Afterwards the
  // socket carries the tunnel to host:port. timeoutMs bounds the connection
  // to the proxy and each wait of the handshake.
  void ConnectThroughSocks4(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                            uint32_t timeoutMs);
  // userName nullptr: no authentication offered. The copies made of the
  // credentials are wiped once used.
  void ConnectThroughSocks5(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                            const char* userName, const char* password, uint32_t timeoutMs,
                            bool datagram = false);
  // reply receives the proxy's reply header block.
  void ConnectThroughHttpProxy(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                               std::string& reply, const char* userName, const char* password,
                               uint32_t timeoutMs, const char* userAgent);

 private:
  using Deadline = km7::tls::Clock::time_point;
  // Reads exactly length bytes, each receive preceded by a wait; the whole
  // read ends at the deadline.
  void ReadExactly(uint8_t* buffer, size_t length, Deadline deadline);
  void ReadSocks5ConnectReply(Deadline deadline);
  // Makes the socket fit an address of family: a fresh socket when the family
  // differs or an attempt failed on it, bound again as Bind asked. Returns 0
  // or the error.
  uint32_t PrepareFor(int family, bool fresh);

  int m_socket = kInvalidSocket;
  int m_family = 0;
  int m_type = 0;
  bool m_bound = false;
  uint16_t m_bindPort = 0;
  std::string m_bindAddress;  // empty: any address
  uint32_t m_sendTimeoutMs = 0;
  std::unique_ptr<km7::tls::Channel> m_tls;
};

namespace km7 {

// Resolves a host as the socket layer does: dotted IPv4 first, else the first
// IPv4 address of a lookup. Returns 0 and the address in network order, or
// the Windows socket error of the failed lookup (WSATRY_AGAIN when it did not
// finish within timeoutMs).
uint32_t ResolveIPv4(const char* host, uint32_t& addressNetworkOrder,
                     uint32_t timeoutMs = CWSocket::kDefaultConnectTimeoutMs);

// One address of a host, ready for connect or bind.
struct SocketAddress {
  int family = 0;
  unsigned length = 0;
  alignas(8) unsigned char bytes[128] = {};  // a sockaddr_storage
};
// All addresses of host (a literal gives itself without a lookup), in the
// resolver's order; family AF_UNSPEC, AF_INET or AF_INET6. The lookup runs
// on a thread of its own so it can be abandoned at timeoutMs: returns 0 or
// the Windows socket error (WSATRY_AGAIN on time-out).
uint32_t ResolveHost(const char* host, uint16_t port, int family, uint32_t timeoutMs,
                     std::vector<SocketAddress>& out);

namespace proxy {

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
