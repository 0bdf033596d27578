#pragma once
// The SMTP client's transport: one stream socket (IPv4 or IPv6, as the
// host's address asks) that raises CWSocketException for every failing
// call, waits for readability with a time-out, carries TLS once started, and
// connects directly or through a SOCKS4, SOCKS5 or HTTP CONNECT proxy.
// Error numbers are the Windows values (see ErrorMessages.h).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "smtp/CancelToken.h"
#include "smtp/Resolver.h"
#include "smtp/SocketException.h"
#include "smtp/Tls.h"

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

  // Every later wait (lookup, connect, send, receive, TLS) also ends as soon
  // as the token is raised, with WSAECANCELLED. nullptr: no token.
  void SetCancelToken(km7::smtp::SharedCancelToken token);

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
  km7::smtp::SharedCancelToken m_cancel;
};
