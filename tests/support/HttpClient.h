#pragma once
// A minimal HTTP/1.1 client for tests: one request per connection, bounded
// by a deadline, from an optional local address (hostile clients use
// 127.0.0.2 so that they are a different client from the scraper).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace km7::test {

inline int ConnectLoopback(int port, const char* from = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{5, 0};  // bounds connect and send
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (from) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes or the deadline passes; true when it closed.
inline bool ReadToEnd(int fd, std::string& out, std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  char buf[8192];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

struct HttpReply {
  int status = 0;  // 0: no answer
  std::string head;
  std::string body;
};

inline HttpReply HttpRequest(int port, const std::string& request,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  HttpReply r;
  int fd = ConnectLoopback(port);
  if (fd < 0) return r;
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string all;
  ReadToEnd(fd, all, timeout);
  ::close(fd);
  auto end = all.find("\r\n\r\n");
  if (all.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return r;
  r.status = std::stoi(all.substr(9, 3));
  r.head = all.substr(0, end);
  r.body = all.substr(end + 4);
  return r;
}

inline HttpReply HttpGet(int port, const std::string& path,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return HttpRequest(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", timeout);
}

// The value of a header line of `head`, compared without case; empty if absent.
inline std::string HeaderValue(const std::string& head, const std::string& name) {
  std::size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    auto colon = head.find(':', pos);
    auto eol = head.find("\r\n", pos);
    if (colon == std::string::npos) break;
    std::string key = head.substr(pos, colon - pos);
    bool same = key.size() == name.size();
    for (std::size_t i = 0; same && i < key.size(); ++i) same = std::tolower(key[i]) == std::tolower(name[i]);
    if (same) {
      std::string v = head.substr(colon + 1, (eol == std::string::npos ? head.size() : eol) - colon - 1);
      while (!v.empty() && v.front() == ' ') v.erase(0, 1);
      return v;
    }
  }
  return {};
}

}  // namespace km7::test
