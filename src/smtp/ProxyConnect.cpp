// Connecting through a proxy: the handshakes of ProxyProtocol.h over the
// socket, each bounded by one deadline.
#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "platform/SecureWipe.h"
#include "smtp/ErrorMessages.h"
#include "smtp/ProxyProtocol.h"
#include "smtp/Socket.h"

namespace {

using Clock = km7::tls::Clock;

Clock::time_point DeadlineIn(uint32_t timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

// Milliseconds left until deadline, 0 when it has passed.
uint32_t MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > static_cast<long long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(left);
}

}  // namespace

void CWSocket::ReadExactly(uint8_t* buffer, size_t length, Deadline deadline) {
  size_t got = 0;
  while (got < length) {
    if (!WaitReadableUntil(deadline)) throw CWSocketException(km7::ERROR_TIMEOUT);
    const size_t n = Receive(buffer + got, length - got);
    if (n == 0) throw CWSocketException(km7::ERROR_GRACEFUL_DISCONNECT);
    got += n;
  }
}

namespace {

// Runs a handshake on a socket already connected to the proxy: any failure
// closes the socket and raises the same code.
template <typename Handshake>
void RunHandshake(CWSocket& socket, Handshake&& handshake) {
  try {
    handshake();
  } catch (const CWSocketException& e) {
    const uint32_t code = e.GetErrorCode();
    std::string detail = e.GetDetail();
    socket.Close();
    throw CWSocketException(code, std::move(detail));
  }
}

}  // namespace

void CWSocket::ConnectThroughSocks4(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                    uint32_t timeoutMs) {
  Connect(proxyHost, proxyPort, timeoutMs);
  // One bound for the whole handshake, however the proxy spaces its bytes.
  const Deadline deadline = DeadlineIn(timeoutMs);
  RunHandshake(*this, [&] {
    uint32_t address = 0;
    if (const uint32_t error = km7::ResolveIPv4(host, address, MillisecondsLeft(deadline))) {
      throw CWSocketException(error);
    }
    const std::vector<uint8_t> request = km7::proxy::Socks4Request(address, port);
    Send(request.data(), request.size());
    uint8_t reply[8];
    ReadExactly(reply, sizeof reply, deadline);
    if (const uint32_t error = km7::proxy::Socks4ReplyError(reply)) {
      throw CWSocketException(error, km7::proxy::Socks4ReplyText(reply[1]));
    }
  });
}

void CWSocket::ConnectThroughSocks5(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                    const char* userName, const char* password, uint32_t timeoutMs,
                                    bool datagram) {
  Connect(proxyHost, proxyPort, timeoutMs);
  const Deadline deadline = DeadlineIn(timeoutMs);
  RunHandshake(*this, [&] {
    const bool offerUser = userName != nullptr;
    const std::vector<uint8_t> greeting = km7::proxy::Socks5Greeting(offerUser);
    Send(greeting.data(), greeting.size());
    uint8_t method[2];
    ReadExactly(method, sizeof method, deadline);
    bool authenticate = false;
    if (const uint32_t error = km7::proxy::Socks5MethodError(method[1], offerUser, authenticate)) {
      throw CWSocketException(error, method[1] == 0xFF ? "SOCKS5 proxy: no acceptable authentication method"
                                                       : "SOCKS5 proxy: chose method " + std::to_string(method[1]) +
                                                             ", which was not offered");
    }
    if (authenticate) {
      std::string user = userName;
      std::string pass = password != nullptr ? password : "";
      std::vector<uint8_t> request;
      const uint32_t error = km7::proxy::Socks5AuthRequest(user, pass, request);
      km7::Wipe(user);
      km7::Wipe(pass);
      if (error != 0) throw CWSocketException(error);
      try {
        Send(request.data(), request.size());
      } catch (...) {
        km7::SecureZero(request.data(), request.size());
        throw;
      }
      km7::SecureZero(request.data(), request.size());
      uint8_t reply[2];
      ReadExactly(reply, sizeof reply, deadline);
      if (const uint32_t denied = km7::proxy::Socks5AuthReplyError(reply)) {
        throw CWSocketException(denied, "SOCKS5 proxy: user name or password refused");
      }
    }
    std::vector<uint8_t> request;
    if (const uint32_t error = km7::proxy::Socks5ConnectRequest(host, port, datagram, request)) {
      throw CWSocketException(error);
    }
    Send(request.data(), request.size());
    ReadSocks5ConnectReply(deadline);
  });
}

void CWSocket::ReadSocks5ConnectReply(Deadline deadline) {
  std::vector<uint8_t> reply;
  try {
    reply.resize(km7::proxy::kSocks5ReplyBufferSize);
  } catch (const std::bad_alloc&) {
    throw CWSocketException(km7::ERROR_OUTOFMEMORY);
  }
  size_t got = 0;
  for (;;) {
    const km7::proxy::Socks5ReplyState state = km7::proxy::Socks5ConnectReplyState(reply.data(), got);
    if (state.error == km7::ERROR_BAD_NET_RESP) {
      throw CWSocketException(state.error, km7::proxy::Socks5ReplyText(reply[1]));
    }
    if (state.error != 0) throw CWSocketException(state.error);
    if (state.complete) return;
    // Only what the reply still lacks: bytes beyond it belong to the tunnel.
    if (!WaitReadableUntil(deadline)) throw CWSocketException(km7::ERROR_TIMEOUT);
    const size_t n = Receive(reply.data() + got, state.needed);
    if (n == 0) throw CWSocketException(km7::ERROR_GRACEFUL_DISCONNECT);
    got += n;
  }
}

void CWSocket::ConnectThroughHttpProxy(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                       std::string& reply, const char* userName, const char* password,
                                       uint32_t timeoutMs, const char* userAgent) {
  Connect(proxyHost, proxyPort, timeoutMs);
  const Deadline deadline = DeadlineIn(timeoutMs);
  RunHandshake(*this, [&] {
    std::string request = km7::proxy::HttpConnectRequest(host, port, userName, password, userAgent);
    try {
      Send(request.data(), request.size());
    } catch (...) {
      km7::Wipe(request);
      throw;
    }
    km7::Wipe(request);
    reply.reserve(4096);
    // One byte per receive, so nothing of the tunnelled stream is consumed.
    while (!km7::proxy::HttpReplyComplete(reply)) {
      if (reply.size() >= km7::proxy::kMaxHttpReplyLength) throw CWSocketException(km7::ERROR_BAD_NET_RESP);
      if (!WaitReadableUntil(deadline)) throw CWSocketException(km7::ERROR_TIMEOUT);
      char c;
      if (Receive(&c, 1) == 0) throw CWSocketException(km7::ERROR_GRACEFUL_DISCONNECT);
      reply += c;
    }
    if (const uint32_t error = km7::proxy::HttpReplyError(reply)) {
      throw CWSocketException(error, km7::proxy::HttpStatusLine(reply));
    }
  });
}
