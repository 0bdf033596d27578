#pragma once
// Loopback listeners for waits that never end: FullListener leaves a new
// connect pending, SilentListener takes connections and never says a word.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace km7::test {

// A listener on 127.0.0.1 that never answers a further connect: with a
// backlog of 0 the system queues one unaccepted connection and drops every
// SYN after it, so a new connect stays pending like one to a dead address.
class FullListener {
 public:
  FullListener() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 0) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      return;
    }
    m_port = ntohs(a.sin_port);
    // Connect until the system reports the queue full; each connect is
    // given time to land in the queue, but fullness is read from the
    // listener, not guessed from timing.
    for (int i = 0; i < 16 && !QueueFull(); ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return;
      m_fillers.push_back(fd);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) return;
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 5000);
    }
    m_full = QueueFull();
  }
  ~FullListener() {
    for (int fd : m_fillers) ::close(fd);
    if (m_listen >= 0) ::close(m_listen);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

  bool Full() const { return m_full; }
  uint16_t Port() const { return m_port; }

 private:
  // For a listener the system reports the accept queue's length and limit;
  // it drops SYNs once the length exceeds the limit.
  bool QueueFull() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_listen, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return false;
    return info.tcpi_state == TCP_LISTEN && info.tcpi_unacked > info.tcpi_sacked;
  }

  int m_listen = -1;
  uint16_t m_port = 0;
  bool m_full = false;
  std::vector<int> m_fillers;
};

// A listener on 127.0.0.1 that never accepts: the system completes the
// connections in its queue, and the peer then waits for ever for a word.
class SilentListener {
 public:
  SilentListener() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (m_listen >= 0 && ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(m_listen, 16) == 0 && ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
      m_port = ntohs(a.sin_port);
    }
  }
  ~SilentListener() {
    if (m_listen >= 0) ::close(m_listen);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  uint16_t Port() const { return m_port; }

 private:
  int m_listen = -1;
  uint16_t m_port = 0;
};

}  // namespace km7::test
