#include "smtp/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "smtp/ErrorMessages.h"

namespace {

using Clock = km7::tls::Clock;

[[noreturn]] void ThrowLastError() { throw CWSocketException(0); }

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
  if (e.error() == ECANCELED) throw CWSocketException(km7::WSAECANCELLED);
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
uint32_t ConnectWithin(int fd, const km7::SocketAddress& address, Clock::time_point deadline,
                       const km7::smtp::CancelToken* cancel) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) return 0;
  // An interrupted non-blocking connect carries on in the background.
  if (errno != EINPROGRESS && errno != EINTR) return km7::SocketErrorFromErrno(errno);
  short revents = 0;
  switch (km7::smtp::WaitFd(fd, POLLOUT, deadline, cancel, &revents)) {
    case km7::smtp::WaitResult::Ready: break;
    case km7::smtp::WaitResult::TimedOut: return km7::SocketErrorFromErrno(ETIMEDOUT);
    case km7::smtp::WaitResult::Cancelled: return km7::WSAECANCELLED;
    case km7::smtp::WaitResult::Failed: return km7::SocketErrorFromErrno(errno);
  }
  if (revents & POLLNVAL) return km7::WSAENOTSOCK;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return km7::SocketErrorFromErrno(errno);
  return error == 0 ? 0 : km7::SocketErrorFromErrno(error);
}

}  // namespace

void CWSocket::Connect(const char* host, uint16_t port, uint32_t timeoutMs) {
  if (m_socket == kInvalidSocket) throw CWSocketException(km7::WSAENOTSOCK);
  if (m_cancel && m_cancel->Cancelled()) throw CWSocketException(km7::WSAECANCELLED);
  const Deadline deadline = DeadlineIn(timeoutMs);
  std::vector<km7::SocketAddress> addresses;
  if (const uint32_t error = km7::ResolveHost(host, port, AF_UNSPEC, timeoutMs, addresses, m_cancel.get())) {
    throw CWSocketException(error);
  }
  uint32_t error = km7::WSAHOST_NOT_FOUND;
  for (size_t i = 0; i < addresses.size(); ++i) {
    if (i > 0 && (Clock::now() >= deadline || error == km7::WSAECANCELLED)) break;
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
    error = ConnectWithin(m_socket, addresses[i], deadline, m_cancel.get());
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
  try {
    m_tls = std::make_unique<km7::tls::Channel>(m_socket, serverName, options, deadline, m_cancel.get());
  } catch (const km7::tls::IoError& e) {
    ThrowTlsIo(e);  // the wait itself failed, or was cancelled
  }
}

void CWSocket::SetCancelToken(km7::smtp::SharedCancelToken token) { m_cancel = std::move(token); }

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
    const Deadline deadline = m_sendTimeoutMs == 0 ? Deadline::max() : DeadlineIn(m_sendTimeoutMs);
    switch (km7::smtp::WaitFd(m_socket, POLLOUT, deadline, m_cancel.get())) {
      case km7::smtp::WaitResult::Ready: break;
      case km7::smtp::WaitResult::TimedOut: throw CWSocketException(km7::ERROR_TIMEOUT);
      case km7::smtp::WaitResult::Cancelled: throw CWSocketException(km7::WSAECANCELLED);
      case km7::smtp::WaitResult::Failed: ThrowLastError();
    }
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
  short revents = 0;
  switch (km7::smtp::WaitFd(m_socket, POLLIN, deadline, m_cancel.get(), &revents)) {
    case km7::smtp::WaitResult::Ready: break;
    case km7::smtp::WaitResult::TimedOut: return false;
    case km7::smtp::WaitResult::Cancelled: throw CWSocketException(km7::WSAECANCELLED);
    case km7::smtp::WaitResult::Failed: ThrowLastError();
  }
  if (revents & POLLNVAL) throw CWSocketException(km7::WSAENOTSOCK);
  return true;  // data, a close or an error: the next receive tells which
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
