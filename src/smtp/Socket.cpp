#include "smtp/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"

// ---------------------------------------------------------------------------
// CWSocketException

CWSocketException::CWSocketException(uint32_t errorCode)
    : m_errorCode(errorCode != 0 ? errorCode : km7::SocketErrorFromErrno(errno)) {
  if (const char* text = km7::SystemMessageText(m_errorCode)) m_what = text;
}

bool CWSocketException::GetErrorMessage(char* buffer, size_t size, unsigned* helpContext) const {
  if (helpContext != nullptr) *helpContext = 0;
  if (buffer == nullptr || size == 0) return !m_what.empty();
  const size_t n = m_what.size() < size - 1 ? m_what.size() : size - 1;
  std::memcpy(buffer, m_what.data(), n);
  buffer[n] = '\0';
  return !m_what.empty();
}

std::string CWSocketException::GetErrorMessage() const { return m_what; }

// ---------------------------------------------------------------------------
// Pure parts

namespace km7 {

namespace {

bool ParseDottedIPv4(const char* host, uint32_t& address) {
  in_addr a{};
  if (host == nullptr || inet_pton(AF_INET, host, &a) != 1) return false;
  address = a.s_addr;
  return true;
}

void PutPort(std::vector<uint8_t>& out, uint16_t port) {
  out.push_back(static_cast<uint8_t>(port >> 8));
  out.push_back(static_cast<uint8_t>(port & 0xff));
}

void PutAddress(std::vector<uint8_t>& out, uint32_t addressNetworkOrder) {
  const uint32_t host = ntohl(addressNetworkOrder);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(host >> shift));
}

}  // namespace

uint32_t ResolveIPv4(const char* host, uint32_t& addressNetworkOrder) {
  if (ParseDottedIPv4(host, addressNetworkOrder)) return 0;
  if (host == nullptr || *host == '\0') return WSAHOST_NOT_FOUND;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  errno = 0;
  const int rc = getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0 || result == nullptr) {
    const uint32_t error = SocketErrorFromResolver(rc != 0 ? rc : EAI_NONAME, errno);
    if (result != nullptr) freeaddrinfo(result);
    return error;
  }
  addressNetworkOrder = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}

namespace proxy {

std::vector<uint8_t> Socks4Request(uint32_t addressNetworkOrder, uint16_t port) {
  std::vector<uint8_t> out{4, 1};
  out.reserve(9);
  PutPort(out, port);
  PutAddress(out, addressNetworkOrder);
  out.push_back(0);
  return out;
}

uint32_t Socks4ReplyError(const uint8_t reply[8]) {
  return (reply[0] == 0 && reply[1] == 90) ? 0 : ERROR_BAD_NET_RESP;
}

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
  uint32_t address = 0;
  if (ParseDottedIPv4(host, address)) {
    out = {5, 1, 0, 1};
    PutAddress(out, address);
    PutPort(out, port);
    return 0;
  }
  const size_t length = host != nullptr ? std::strlen(host) : 0;
  if (length > 255) return ERROR_INVALID_PARAMETER;
  out = {5, static_cast<uint8_t>(datagram ? 3 : 1), 0, 3, static_cast<uint8_t>(length)};
  out.insert(out.end(), host, host + length);
  PutPort(out, port);
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
  request += host != nullptr ? host : "";
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

}  // namespace proxy
}  // namespace km7

// ---------------------------------------------------------------------------
// CWSocket

namespace {

[[noreturn]] void ThrowLastError() { throw CWSocketException(0); }

sockaddr_in MakeAddress(uint32_t addressNetworkOrder, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = addressNetworkOrder;
  return a;
}

}  // namespace

CWSocket::~CWSocket() { Close(); }

void CWSocket::Create(bool datagram) {
  const int fd = ::socket(AF_INET, (datagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowLastError();
  if (!datagram) {
    // A session is short commands answered one at a time; without this each
    // small write of a message waits for the server's delayed acknowledgement.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  Close();
  m_socket = fd;
}

void CWSocket::Bind(uint16_t port, const char* localAddress) {
  uint32_t address = htonl(INADDR_ANY);
  if (localAddress != nullptr && km7::ResolveIPv4(localAddress, address) != 0) {
    throw CWSocketException(km7::WSAEINVAL);
  }
  const sockaddr_in a = MakeAddress(address, port);
  if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowLastError();
}

namespace {

// Starts a connect on a non-blocking socket and waits for its outcome until
// the time-out; returns 0 or the Windows socket error.
uint32_t ConnectWithin(int fd, const sockaddr_in& address, uint32_t timeoutMs) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
  // An interrupted non-blocking connect carries on in the background.
  if (errno != EINPROGRESS && errno != EINTR) return km7::SocketErrorFromErrno(errno);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLOUT, 0};
    const int rc = ::poll(&p, 1, left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (rc > 0) {
      if (p.revents & POLLNVAL) return km7::WSAENOTSOCK;
      break;
    }
    if (rc == 0) {
      if (left <= 0 || Clock::now() >= deadline) return km7::SocketErrorFromErrno(ETIMEDOUT);
      continue;  // woke early (INT_MAX clamp)
    }
    if (errno != EINTR) return km7::SocketErrorFromErrno(errno);
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return km7::SocketErrorFromErrno(errno);
  return error == 0 ? 0 : km7::SocketErrorFromErrno(error);
}

}  // namespace

void CWSocket::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
  uint32_t address = 0;
  if (const uint32_t error = km7::ResolveIPv4(host, address)) throw CWSocketException(error);
  const sockaddr_in a = MakeAddress(address, port);
  // Non-blocking only for the attempt: a blocking connect to an address that
  // never answers would hold the caller for the system's whole SYN retry
  // period. Receive relies on blocking mode afterwards.
  const int flags = ::fcntl(m_socket, F_GETFL);
  if (flags < 0) ThrowLastError();
  const bool wasBlocking = (flags & O_NONBLOCK) == 0;
  if (wasBlocking && ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) != 0) ThrowLastError();
  const uint32_t error = ConnectWithin(m_socket, a, timeoutMs);
  if (wasBlocking && ::fcntl(m_socket, F_SETFL, flags) != 0 && error == 0) ThrowLastError();
  if (error != 0) throw CWSocketException(error);
}

size_t CWSocket::Send(const void* data, size_t length, int flags) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  // A send may take only part of the bytes; stopping there would lose the
  // rest. Waiting for room is bounded by the send time-out when one is set.
  while (sent < length) {
    const ssize_t n = ::send(m_socket, bytes + sent, length - sent, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowLastError();
    pollfd p{m_socket, POLLOUT, 0};
    const int rc = ::poll(&p, 1, m_sendTimeoutMs == 0 ? -1 : static_cast<int>(std::min<uint32_t>(m_sendTimeoutMs, INT_MAX)));
    if (rc == 0) throw CWSocketException(km7::ERROR_TIMEOUT);
    if (rc < 0 && errno != EINTR) ThrowLastError();
  }
  return sent;
}

size_t CWSocket::Receive(void* buffer, size_t size, int flags) {
  ssize_t n;
  do {
    n = ::recv(m_socket, buffer, size, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) ThrowLastError();
  return static_cast<size_t>(n);
}

bool CWSocket::WaitReadable(uint32_t timeoutMs) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{m_socket, POLLIN, 0};
    const int rc = ::poll(&p, 1, left <= 0 ? 0 : static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (rc > 0) {
      if (p.revents & POLLNVAL) throw CWSocketException(km7::WSAENOTSOCK);
      return true;  // data, a close or an error: the next receive tells which
    }
    if (rc == 0) {
      if (left <= 0 || Clock::now() >= deadline) return false;
      continue;  // woke early (INT_MAX clamp)
    }
    if (errno != EINTR) ThrowLastError();
  }
}

int CWSocket::Close() {
  if (m_socket == kInvalidSocket) return kInvalidSocket;
  const int rc = ::close(m_socket);
  m_socket = kInvalidSocket;
  return rc;
}

void CWSocket::ReadExactly(uint8_t* buffer, size_t length, uint32_t timeoutMs) {
  size_t got = 0;
  while (got < length) {
    if (!WaitReadable(timeoutMs)) throw CWSocketException(km7::ERROR_TIMEOUT);
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
    socket.Close();
    throw CWSocketException(code);
  }
}

}  // namespace

void CWSocket::ConnectThroughSocks4(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                    uint32_t timeoutMs) {
  Connect(proxyHost, proxyPort, timeoutMs);
  RunHandshake(*this, [&] {
    uint32_t address = 0;
    if (const uint32_t error = km7::ResolveIPv4(host, address)) throw CWSocketException(error);
    const std::vector<uint8_t> request = km7::proxy::Socks4Request(address, port);
    Send(request.data(), request.size());
    uint8_t reply[8];
    ReadExactly(reply, sizeof reply, timeoutMs);
    if (const uint32_t error = km7::proxy::Socks4ReplyError(reply)) throw CWSocketException(error);
  });
}

void CWSocket::ConnectThroughSocks5(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                    const char* userName, const char* password, uint32_t timeoutMs,
                                    bool datagram) {
  Connect(proxyHost, proxyPort, timeoutMs);
  RunHandshake(*this, [&] {
    const bool offerUser = userName != nullptr;
    const std::vector<uint8_t> greeting = km7::proxy::Socks5Greeting(offerUser);
    Send(greeting.data(), greeting.size());
    uint8_t method[2];
    ReadExactly(method, sizeof method, timeoutMs);
    bool authenticate = false;
    if (const uint32_t error = km7::proxy::Socks5MethodError(method[1], offerUser, authenticate)) {
      throw CWSocketException(error);
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
      ReadExactly(reply, sizeof reply, timeoutMs);
      if (const uint32_t denied = km7::proxy::Socks5AuthReplyError(reply)) throw CWSocketException(denied);
    }
    std::vector<uint8_t> request;
    if (const uint32_t error = km7::proxy::Socks5ConnectRequest(host, port, datagram, request)) {
      throw CWSocketException(error);
    }
    Send(request.data(), request.size());
    ReadSocks5ConnectReply(timeoutMs);
  });
}

void CWSocket::ReadSocks5ConnectReply(uint32_t timeoutMs) {
  std::vector<uint8_t> reply;
  try {
    reply.resize(km7::proxy::kSocks5ReplyBufferSize);
  } catch (const std::bad_alloc&) {
    throw CWSocketException(km7::ERROR_OUTOFMEMORY);
  }
  size_t got = 0;
  for (;;) {
    const km7::proxy::Socks5ReplyState state = km7::proxy::Socks5ConnectReplyState(reply.data(), got);
    if (state.error != 0) throw CWSocketException(state.error);
    if (state.complete) return;
    // Only what the reply still lacks: bytes beyond it belong to the tunnel.
    if (!WaitReadable(timeoutMs)) throw CWSocketException(km7::ERROR_TIMEOUT);
    const size_t n = Receive(reply.data() + got, state.needed);
    if (n == 0) throw CWSocketException(km7::ERROR_GRACEFUL_DISCONNECT);
    got += n;
  }
}

void CWSocket::ConnectThroughHttpProxy(const char* host, uint16_t port, const char* proxyHost, uint16_t proxyPort,
                                       std::string& reply, const char* userName, const char* password,
                                       uint32_t timeoutMs, const char* userAgent) {
  Connect(proxyHost, proxyPort, timeoutMs);
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
      if (!WaitReadable(timeoutMs)) throw CWSocketException(km7::ERROR_TIMEOUT);
      char c;
      if (Receive(&c, 1) == 0) throw CWSocketException(km7::ERROR_GRACEFUL_DISCONNECT);
      reply += c;
    }
    if (const uint32_t error = km7::proxy::HttpReplyError(reply)) throw CWSocketException(error);
  });
}
