#include "smtp/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"

// ---------------------------------------------------------------------------
// CWSocketException

CWSocketException::CWSocketException(uint32_t errorCode)
    : m_errorCode(errorCode != 0 ? errorCode : km7::SocketErrorFromErrno(errno)) {
  if (const char* text = km7::SystemMessageText(m_errorCode)) m_what = text;
}

CWSocketException::CWSocketException(uint32_t errorCode, std::string detail)
    : CWSocketException(errorCode) {
  m_detail = std::move(detail);
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

namespace {

// The state of one lookup, shared with its thread, which may outlive the
// caller's wait.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  uint32_t error = 0;
  std::vector<SocketAddress> addresses;
};

void RunLookup(Lookup& lookup, const std::string& host, uint16_t port, int family) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* result = nullptr;
  errno = 0;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
  uint32_t error = 0;
  std::vector<SocketAddress> addresses;
  if (rc != 0 || result == nullptr) {
    error = SocketErrorFromResolver(rc != 0 ? rc : EAI_NONAME, errno);
  } else {
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
      if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(SocketAddress::bytes)) {
        continue;
      }
      SocketAddress address;
      address.family = a->ai_family;
      address.length = static_cast<unsigned>(a->ai_addrlen);
      std::memcpy(address.bytes, a->ai_addr, a->ai_addrlen);
      addresses.push_back(address);
    }
    if (addresses.empty()) error = WSAHOST_NOT_FOUND;
  }
  if (result != nullptr) freeaddrinfo(result);
  std::lock_guard<std::mutex> lock(lookup.mutex);
  lookup.error = error;
  lookup.addresses = std::move(addresses);
  lookup.finished = true;
  lookup.done.notify_all();
}

bool ParseLiteral(const char* host, uint16_t port, int family, SocketAddress& out) {
  if (host == nullptr) return false;
  if (family != AF_INET6) {
    sockaddr_in a{};
    if (inet_pton(AF_INET, host, &a.sin_addr) == 1) {
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      out.family = AF_INET;
      out.length = sizeof a;
      std::memcpy(out.bytes, &a, sizeof a);
      return true;
    }
  }
  if (family != AF_INET) {
    sockaddr_in6 a{};
    if (inet_pton(AF_INET6, host, &a.sin6_addr) == 1) {
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      out.family = AF_INET6;
      out.length = sizeof a;
      std::memcpy(out.bytes, &a, sizeof a);
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t ResolveHost(const char* host, uint16_t port, int family, uint32_t timeoutMs,
                     std::vector<SocketAddress>& out) {
  out.clear();
  SocketAddress literal;
  if (ParseLiteral(host, port, family, literal)) {
    out.push_back(literal);
    return 0;
  }
  if (host == nullptr || *host == '\0') return WSAHOST_NOT_FOUND;
  // The system resolver has no time-out of its own that callers can set; a
  // lookup left behind finishes on its thread and is then dropped.
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name = std::string(host), port, family] { RunLookup(*lookup, name, port, family); })
        .detach();
  } catch (const std::system_error&) {
    RunLookup(*lookup, host, port, family);  // no thread to spare: look up here
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return lookup->finished; })) {
    return WSATRY_AGAIN;
  }
  if (lookup->error != 0) return lookup->error;
  out = lookup->addresses;
  return 0;
}

uint32_t ResolveIPv4(const char* host, uint32_t& addressNetworkOrder, uint32_t timeoutMs) {
  if (ParseDottedIPv4(host, addressNetworkOrder)) return 0;
  std::vector<SocketAddress> addresses;
  if (const uint32_t error = ResolveHost(host, 0, AF_INET, timeoutMs, addresses)) return error;
  sockaddr_in a{};
  std::memcpy(&a, addresses.front().bytes, sizeof a);
  addressNetworkOrder = a.sin_addr.s_addr;
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
  in6_addr address6{};
  if (host != nullptr && inet_pton(AF_INET6, host, &address6) == 1) {
    out = {5, 1, 0, 4};
    out.insert(out.end(), address6.s6_addr, address6.s6_addr + 16);
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

std::string Socks5ReplyText(uint8_t code) {
  static const char* const kMeanings[] = {
      "succeeded",          "general failure",      "connection not allowed by its rules",
      "network unreachable", "host unreachable",     "connection refused",
      "TTL expired",        "command not supported", "address type not supported",
  };
  const char* meaning = code < std::size(kMeanings) ? kMeanings[code] : "an unknown reply";
  return "SOCKS5 proxy: " + std::string(meaning) + " (reply " + std::to_string(code) + ")";
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

}  // namespace proxy
}  // namespace km7

// ---------------------------------------------------------------------------
// CWSocket

namespace {

using Clock = km7::tls::Clock;

[[noreturn]] void ThrowLastError() { throw CWSocketException(0); }

// Milliseconds left until deadline, 0 when it has passed.
uint32_t MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > static_cast<long long>(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(left);
}

Clock::time_point DeadlineIn(uint32_t timeoutMs) { return Clock::now() + std::chrono::milliseconds(timeoutMs); }

int OpenSocket(int family, int type) {
  const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (type == SOCK_STREAM) {
    // A session is short commands answered one at a time; without this each
    // small write of a message waits for the server's delayed acknowledgement.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return fd;
}

// The TLS layer's failures as socket exceptions (errno-based where there is
// one, with the TLS layer's text beside it).
[[noreturn]] void ThrowTlsIo(const km7::tls::IoError& e) {
  throw CWSocketException(e.error() != 0 ? km7::SocketErrorFromErrno(e.error()) : km7::WSAECONNABORTED,
                          std::string("TLS: ") + e.what());
}

}  // namespace

CWSocket::~CWSocket() { Close(); }

void CWSocket::Create(bool datagram) {
  const int type = datagram ? SOCK_DGRAM : SOCK_STREAM;
  const int fd = OpenSocket(AF_INET, type);
  if (fd < 0) ThrowLastError();
  Close();
  m_socket = fd;
  m_family = AF_INET;
  m_type = type;
}

void CWSocket::Bind(uint16_t port, const char* localAddress) {
  uint32_t address = htonl(INADDR_ANY);
  if (localAddress != nullptr && km7::ResolveIPv4(localAddress, address) != 0) {
    throw CWSocketException(km7::WSAEINVAL);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = address;
  if (::bind(m_socket, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) ThrowLastError();
  m_bound = true;
  m_bindPort = port;
  m_bindAddress = localAddress != nullptr ? localAddress : "";
}

uint32_t CWSocket::PrepareFor(int family, bool fresh) {
  if (!fresh && family == m_family) return 0;
  const int fd = OpenSocket(family, m_type);
  if (fd < 0) return km7::SocketErrorFromErrno(errno);
  if (m_bound) {
    std::vector<km7::SocketAddress> local;
    if (m_bindAddress.empty()) {
      km7::SocketAddress any;
      if (family == AF_INET6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(m_bindPort);
        std::memcpy(any.bytes, &a, sizeof a);
        any.length = sizeof a;
      } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_bindPort);
        std::memcpy(any.bytes, &a, sizeof a);
        any.length = sizeof a;
      }
      any.family = family;
      local.push_back(any);
    } else if (km7::ResolveHost(m_bindAddress.c_str(), m_bindPort, family, kDefaultConnectTimeoutMs, local) != 0) {
      ::close(fd);
      return km7::WSAEADDRNOTAVAIL;  // the bind address has no address of this family
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(local.front().bytes), local.front().length) != 0) {
      const uint32_t error = km7::SocketErrorFromErrno(errno);
      ::close(fd);
      return error;
    }
  }
  Close();
  m_socket = fd;
  m_family = family;
  return 0;
}

namespace {

// Starts a connect on a non-blocking socket and waits for its outcome until
// the deadline; returns 0 or the Windows socket error.
uint32_t ConnectWithin(int fd, const km7::SocketAddress& address, Clock::time_point deadline) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) return 0;
  // An interrupted non-blocking connect carries on in the background.
  if (errno != EINPROGRESS && errno != EINTR) return km7::SocketErrorFromErrno(errno);
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
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  const Deadline deadline = DeadlineIn(timeoutMs);
  std::vector<km7::SocketAddress> addresses;
  if (const uint32_t error = km7::ResolveHost(host, port, AF_UNSPEC, timeoutMs, addresses)) {
    throw CWSocketException(error);
  }
  uint32_t error = km7::WSAHOST_NOT_FOUND;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0 && Clock::now() >= deadline) break;
    // A socket whose connect failed cannot be used for another attempt.
    error = PrepareFor(addresses[i].family, i > 0);
    if (error != 0) continue;
    // Non-blocking only for the attempt: a blocking connect to an address
    // that never answers would hold the caller for the system's whole SYN
    // retry period. Receive relies on blocking mode afterwards.
    const int flags = ::fcntl(m_socket, F_GETFL);
    if (flags < 0) ThrowLastError();
    const bool wasBlocking = (flags & O_NONBLOCK) == 0;
    if (wasBlocking && ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) != 0) ThrowLastError();
    error = ConnectWithin(m_socket, addresses[i], deadline);
    if (wasBlocking && ::fcntl(m_socket, F_SETFL, flags) != 0 && error == 0) ThrowLastError();
    if (error == 0) return;
  }
  throw CWSocketException(error);
}

void CWSocket::StartTls(const std::string& serverName, const km7::tls::Options& options, uint32_t timeoutMs) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  const Deadline deadline = DeadlineIn(timeoutMs);
  // Every TLS wait is a poll with a deadline, so the descriptor stays
  // non-blocking from here on.
  const int flags = ::fcntl(m_socket, F_GETFL);
  if (flags < 0 || ::fcntl(m_socket, F_SETFL, flags | O_NONBLOCK) != 0) ThrowLastError();
  m_tls = std::make_unique<km7::tls::Channel>(m_socket, serverName, options, deadline);
}

size_t CWSocket::Send(const void* data, size_t length, int flags) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  if (m_tls) {
    const Deadline deadline = m_sendTimeoutMs == 0 ? Deadline::max() : DeadlineIn(m_sendTimeoutMs);
    try {
      if (!m_tls->Write(data, length, deadline)) throw CWSocketException(km7::ERROR_TIMEOUT);
    } catch (const km7::tls::IoError& e) {
      ThrowTlsIo(e);
    }
    return length;
  }
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
  if (m_tls) {
    // Callers wait for readability first, so this rarely waits at all.
    const Deadline deadline = DeadlineIn(m_sendTimeoutMs == 0 ? kDefaultConnectTimeoutMs : m_sendTimeoutMs);
    size_t received = 0;
    try {
      if (!m_tls->Read(buffer, size, received, deadline)) throw CWSocketException(km7::ERROR_TIMEOUT);
    } catch (const km7::tls::IoError& e) {
      ThrowTlsIo(e);
    }
    return received;
  }
  ssize_t n;
  do {
    n = ::recv(m_socket, buffer, size, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0) ThrowLastError();
  return static_cast<size_t>(n);
}

bool CWSocket::WaitReadable(uint32_t timeoutMs) { return WaitReadableUntil(DeadlineIn(timeoutMs)); }

bool CWSocket::WaitReadableUntil(Deadline deadline) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  if (m_tls) {
    try {
      return m_tls->WaitReadable(deadline);
    } catch (const km7::tls::IoError& e) {
      ThrowTlsIo(e);
    }
  }
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
  // The TLS state goes with the descriptor on every path; the close alert
  // is offered once, without waiting.
  if (m_tls) m_tls->Shutdown();
  m_tls.reset();
  if (m_socket == kInvalidSocket) return kInvalidSocket;
  const int rc = ::close(m_socket);
  m_socket = kInvalidSocket;
  return rc;
}

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
