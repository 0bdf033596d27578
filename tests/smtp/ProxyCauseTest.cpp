// Errors that name their cause (a proxy's status line, SOCKS reply codes),
// and IPv6: addresses tried in order, "::1" reached directly and through
// the proxy requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/ProxyProtocol.h"
#include "smtp/Socket.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"

using km7::test::ScriptedPeer;
using km7::test::Win32;
using km7::test::ScriptedServer;
namespace proxy = km7::proxy;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

}  // namespace

TEST(ProxyCauseTest, ReplyCodesAndStatusLinesAreNamed) {
  struct Case {
    std::string text;
    const char* expected;
  };
  for (const Case& c : {
           Case{proxy::Socks4ReplyText(91), "SOCKS4 proxy: request rejected or failed (reply 91)"},
           Case{proxy::Socks4ReplyText(93), "SOCKS4 proxy: request rejected: identd reports another user (reply 93)"},
           Case{proxy::Socks4ReplyText(17), "SOCKS4 proxy: an unknown reply (reply 17)"},
           Case{proxy::Socks5ReplyText(1), "SOCKS5 proxy: general failure (reply 1)"},
           Case{proxy::Socks5ReplyText(4), "SOCKS5 proxy: host unreachable (reply 4)"},
           Case{proxy::Socks5ReplyText(8), "SOCKS5 proxy: address type not supported (reply 8)"},
           Case{proxy::Socks5ReplyText(9), "SOCKS5 proxy: an unknown reply (reply 9)"},
           Case{proxy::HttpStatusLine("HTTP/1.1 407 Proxy Authentication Required\r\nX: y\r\n\r\n"),
                "HTTP proxy: HTTP/1.1 407 Proxy Authentication Required"},
           Case{proxy::HttpStatusLine("HTTP/1.0 403 Forbidden\n\n"), "HTTP proxy: HTTP/1.0 403 Forbidden"},
           Case{proxy::HttpStatusLine(std::string(300, 'x')), nullptr},
       }) {
    if (c.expected == nullptr) {
      EXPECT_EQ(c.text, "HTTP proxy: " + std::string(200, 'x')) << "a long line is cut";
    } else {
      EXPECT_EQ(c.text, c.expected);
    }
  }
}

TEST(ProxyCauseTest, TheSessionReportsWhatTheProxyAnswered) {
  struct Case {
    const char* name;
    SMTPConnectionType type;
    const char* user;
    std::function<void(ScriptedPeer&)> script;
    uint32_t code;
    const char* lastResponse;
  };
  const Case cases[] = {
      {"HTTP 407", SMTPConnectionType::HttpProxy, nullptr,
       [](ScriptedPeer& p) {
         p.ReadUntil("\r\n\r\n");
         p.Send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n\r\n");
       },
       Win32(km7::ERROR_CONNECTION_REFUSED), "HTTP proxy: HTTP/1.1 407 Proxy Authentication Required"},
      {"SOCKS4 rejected", SMTPConnectionType::Socks4, nullptr,
       [](ScriptedPeer& p) {
         p.ReadExactly(9);
         p.Send(Bytes({0, 91, 0, 0, 0, 0, 0, 0}));
       },
       Win32(km7::ERROR_BAD_NET_RESP), "SOCKS4 proxy: request rejected or failed (reply 91)"},
      {"SOCKS5 not allowed", SMTPConnectionType::Socks5, nullptr,
       [](ScriptedPeer& p) {
         p.ReadExactly(3);
         p.Send(Bytes({5, 0}));
         p.ReadExactly(10);
         p.Send(Bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
       },
       Win32(km7::ERROR_BAD_NET_RESP), "SOCKS5 proxy: connection not allowed by its rules (reply 2)"},
      {"SOCKS5 credentials refused", SMTPConnectionType::Socks5, "proxyuser",
       [](ScriptedPeer& p) {
         p.ReadExactly(4);
         p.Send(Bytes({5, 2}));
         p.ReadExactly(3 + 9 + 2);
         p.Send(Bytes({1, 1}));
       },
       Win32(km7::ERROR_ACCESS_DENIED), "SOCKS5 proxy: user name or password refused"},
      {"SOCKS5 no method", SMTPConnectionType::Socks5, nullptr,
       [](ScriptedPeer& p) {
         p.ReadExactly(3);
         p.Send(Bytes({5, 0xFF}));
       },
       Win32(km7::WSAECONNREFUSED), "SOCKS5 proxy: no acceptable authentication method"},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    CZRKSMTPConnection s;
    s.SetTimeout(10000);
    s.SetConnectionType(c.type);
    s.SetProxyServer("127.0.0.1");
    s.SetProxyPort(server.Port());
    if (c.user != nullptr) {
      s.SetProxyUserName(c.user);
      s.SetProxyPassword("pw");
    }
    uint32_t code = 0;
    std::string lastResponse;
    try {
      s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", 25);
    } catch (const CZRKSMTPException& e) {
      code = e.GetErrorCode();
      lastResponse = e.GetLastResponse();
    }
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_EQ(lastResponse, c.lastResponse) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

TEST(ProxyCauseTest, IPv6DestinationsInTheProxyRequests) {
  std::vector<uint8_t> request;
  ASSERT_EQ(proxy::Socks5ConnectRequest("::1", 587, false, request), 0u);
  std::vector<uint8_t> expected = {5, 1, 0, 4};
  expected.insert(expected.end(), 15, 0);
  expected.insert(expected.end(), {1, 587 >> 8, 587 & 0xff});
  EXPECT_EQ(request, expected);
  ASSERT_EQ(proxy::Socks5ConnectRequest("2001:db8::25", 25, false, request), 0u);
  EXPECT_EQ(request.size(), 22u);
  EXPECT_EQ(request[3], 4);
  EXPECT_EQ(proxy::HttpConnectRequest("::1", 25, nullptr, nullptr, nullptr), "CONNECT [::1]:25 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(proxy::HttpConnectRequest("127.0.0.1", 25, nullptr, nullptr, nullptr),
            "CONNECT 127.0.0.1:25 HTTP/1.0\r\n\r\n");
}

namespace {

// A listener on [::1]:port that accepts one connection and answers "pong"
// to whatever comes; -1 when the loopback interface has no IPv6.
struct IPv6Listener {
  int fd = -1;
  uint16_t port = 0;
  std::thread thread;
  IPv6Listener() {
    fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      if (fd >= 0) ::close(fd);
      fd = -1;
      return;
    }
    port = ntohs(a.sin6_port);
    thread = std::thread([this] {
      const int c = ::accept(fd, nullptr, nullptr);
      if (c < 0) return;
      char buffer[16];
      if (::recv(c, buffer, sizeof buffer, 0) > 0) ::send(c, "pong", 4, MSG_NOSIGNAL);
      ::close(c);
    });
  }
  ~IPv6Listener() {
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

TEST(IPv6Test, AnIPv6AddressIsReachedDirectly) {
  IPv6Listener listener;
  if (listener.fd < 0) GTEST_SKIP() << "no IPv6 on the loopback interface";
  CWSocket socket;
  socket.Create();
  socket.Connect("::1", listener.port, 10000);
  socket.Send("ping", 4);
  ASSERT_TRUE(socket.WaitReadable(10000));
  char buffer[8];
  const size_t n = socket.Receive(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer, n), "pong");
}

TEST(IPv6Test, LiteralsNeedNoLookupAndNamesGiveEveryAddress) {
  std::vector<km7::SocketAddress> addresses;
  ASSERT_EQ(km7::ResolveHost("::1", 25, AF_UNSPEC, 1000, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].family, AF_INET6);
  ASSERT_EQ(km7::ResolveHost("127.0.0.1", 25, AF_UNSPEC, 1000, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].family, AF_INET);
  // An IPv4 lookup never gives an IPv6 literal.
  EXPECT_EQ(km7::ResolveHost("::1", 25, AF_INET, 1000, addresses), km7::WSAHOST_NOT_FOUND);
  EXPECT_EQ(km7::ResolveHost("no-such-host.invalid", 25, AF_UNSPEC, 30000, addresses), km7::WSAHOST_NOT_FOUND);
  ASSERT_EQ(km7::ResolveHost("localhost", 25, AF_UNSPEC, 30000, addresses), 0u);
  EXPECT_FALSE(addresses.empty());
}

TEST(IPv6Test, EveryAddressOfANameIsTriedInTurn) {
  // "localhost" may name ::1 first; the server listens on 127.0.0.1 only,
  // so reaching it needs the attempts to go on past a refused address.
  ScriptedServer server([](ScriptedPeer& p) {
    p.Expect("ping");
    p.Send("pong\r\n");
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("localhost", server.Port(), 10000);
  socket.Send("ping\r\n", 6);
  ASSERT_TRUE(socket.WaitReadable(10000));
  char buffer[8];
  EXPECT_GT(socket.Receive(buffer, sizeof buffer), 0u);
  EXPECT_EQ(server.Finish(), "");
}
