#include "smtp/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace km7::test {

namespace {

bool WaitFor(int fd, short events, int waitMs) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = ::poll(&p, 1, waitMs);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer(int fd, int waitMs, std::string& received, std::mutex& mutex)
    : m_fd(fd), m_waitMs(waitMs), m_received(received), m_mutex(mutex) {}

void ScriptedPeer::Send(std::string_view bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ScriptError(std::string("send failed: ") + std::strerror(errno));
    }
    sent += static_cast<size_t>(n);
  }
}

void ScriptedPeer::SendInPieces(const std::vector<std::string>& pieces) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Send(pieces[i]);
  }
}

bool ScriptedPeer::Fill() {
  if (!WaitFor(m_fd, POLLIN, m_waitMs)) throw ScriptError("timed out waiting for the client");
  char buffer[4096];
  ssize_t n;
  do {
    n = ::recv(m_fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  m_pending.append(buffer, static_cast<size_t>(n));
  std::lock_guard<std::mutex> lock(m_mutex);
  m_received.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string ScriptedPeer::ReadUntil(std::string_view terminator) {
  for (;;) {
    const size_t at = m_pending.find(terminator);
    if (at != std::string::npos) {
      std::string out = m_pending.substr(0, at + terminator.size());
      m_pending.erase(0, at + terminator.size());
      return out;
    }
    if (!Fill()) throw ScriptError("client closed while the script waited for more; had: " + m_pending);
  }
}

std::string ScriptedPeer::ReadLine() { return ReadUntil("\r\n"); }

std::string ScriptedPeer::Expect(std::string_view prefix) {
  std::string line = ReadLine();
  if (line.compare(0, prefix.size(), prefix) != 0) {
    throw ScriptError("expected \"" + std::string(prefix) + "\", got \"" + line + "\"");
  }
  return line;
}

std::string ScriptedPeer::ReadExactly(size_t n) {
  while (m_pending.size() < n) {
    if (!Fill()) throw ScriptError("client closed before " + std::to_string(n) + " bytes arrived");
  }
  std::string out = m_pending.substr(0, n);
  m_pending.erase(0, n);
  return out;
}

bool ScriptedPeer::WaitClosed() {
  try {
    while (Fill()) {
    }
    return true;
  } catch (const ScriptError&) {
    return false;
  }
}

void ScriptedPeer::Close() {
  if (m_fd >= 0) ::shutdown(m_fd, SHUT_RDWR);
}

ScriptedServer::ScriptedServer(Script script, int waitMs) : m_waitMs(waitMs) {
  m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen < 0) throw std::runtime_error("socket failed");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t length = sizeof a;
  if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listen, 4) != 0 ||
      ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    ::close(m_listen);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  m_port = ntohs(a.sin_port);
  m_thread = std::thread([this, script = std::move(script)]() mutable { Run(std::move(script)); });
}

ScriptedServer::~ScriptedServer() {
  Finish();
  if (m_listen >= 0) ::close(m_listen);
}

void ScriptedServer::Run(Script script) {
  std::string error;
  if (!WaitFor(m_listen, POLLIN, m_waitMs)) {
    error = "no client connected";
  } else {
    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      error = "accept failed";
    } else {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ScriptedPeer peer(fd, m_waitMs, m_received, m_mutex);
      try {
        script(peer);
      } catch (const std::exception& e) {
        error = e.what();
      }
      ::close(fd);
    }
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_error = error;
}

std::string ScriptedServer::Finish() {
  if (!m_finished && m_thread.joinable()) m_thread.join();
  m_finished = true;
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_error;
}

std::string ScriptedServer::Received() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

uint16_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace km7::test
