// SOCKS4, SOCKS5 and HTTP CONNECT: the pure request builders and reply
// parsers, and each handshake against a scripted proxy on loopback, with
// replies in pieces and every failure code.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <functional>
#include <string>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/ProxyProtocol.h"
#include "smtp/Socket.h"
#include "smtp/support/ScriptedServer.h"

using km7::test::ScriptedPeer;
using km7::test::ScriptedServer;
namespace proxy = km7::proxy;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Base64(const std::string& s) {
  std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

constexpr uint32_t kWaitMs = 10000;

// Runs a handshake against the scripted proxy and returns the raised code
// (0 when it succeeded); open tells whether the socket is still open.
uint32_t Handshake(const std::function<void(CWSocket&)>& connect, bool* open = nullptr) {
  CWSocket socket;
  socket.Create();
  uint32_t code = 0;
  try {
    connect(socket);
  } catch (const CWSocketException& e) {
    code = e.GetErrorCode();
  }
  if (open != nullptr) *open = socket.IsOpen();
  return code;
}

// After a successful handshake the socket carries the tunnel: the proxy
// script echoes one line through it.
void ExpectTunnel(CWSocket& socket) {
  socket.Send("ping\r\n", 6);
  std::string got;
  char buffer[64];
  while (got.find("\r\n") == std::string::npos) {
    ASSERT_TRUE(socket.WaitReadable(kWaitMs));
    const size_t n = socket.Receive(buffer, sizeof buffer);
    ASSERT_NE(n, 0u);
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "pong ping\r\n");
}

void EchoTunnel(ScriptedPeer& peer) { peer.Send("pong " + peer.ReadLine()); }

}  // namespace

// ---------------------------------------------------------------------------
// Pure parts

TEST(ProxyRequestTest, Socks4RequestAndReplies) {
  uint32_t address = 0;
  ASSERT_EQ(km7::ResolveIPv4("10.1.2.3", address), 0u);
  EXPECT_EQ(Str(proxy::Socks4Request(address, 25)), Bytes({4, 1, 0, 25, 10, 1, 2, 3, 0}));
  EXPECT_EQ(Str(proxy::Socks4Request(address, 0x1234)).substr(2, 2), Bytes({0x12, 0x34}));

  struct Case {
    std::string reply;
    uint32_t error;
  };
  for (const Case& c : {Case{Bytes({0, 90, 1, 2, 3, 4, 5, 6}), 0u}, Case{Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 58u},
                        Case{Bytes({4, 90, 0, 0, 0, 0, 0, 0}), 58u}, Case{Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 58u}}) {
    EXPECT_EQ(proxy::Socks4ReplyError(reinterpret_cast<const uint8_t*>(c.reply.data())), c.error);
  }
}

TEST(ProxyRequestTest, Socks5MethodSelection) {
  EXPECT_EQ(Str(proxy::Socks5Greeting(false)), Bytes({5, 1, 0}));
  EXPECT_EQ(Str(proxy::Socks5Greeting(true)), Bytes({5, 2, 0, 2}));
  struct Case {
    uint8_t method;
    bool offered;
    uint32_t error;
    bool authenticate;
  };
  for (const Case& c : {Case{0, false, 0, false}, Case{2, false, 10061, false}, Case{0xff, false, 10061, false},
                        Case{0, true, 0, false}, Case{2, true, 0, true}, Case{0xff, true, 10061, false},
                        Case{1, true, 10061, false}}) {
    bool authenticate = !c.authenticate;
    EXPECT_EQ(proxy::Socks5MethodError(c.method, c.offered, authenticate), c.error) << int(c.method);
    EXPECT_EQ(authenticate, c.authenticate) << int(c.method);
  }
}

TEST(ProxyRequestTest, Socks5CredentialsLayoutAndLimits) {
  std::vector<uint8_t> out;
  ASSERT_EQ(proxy::Socks5AuthRequest("bob", "pw", out), 0u);
  EXPECT_EQ(Str(out), Bytes({1, 3, 'b', 'o', 'b', 2, 'p', 'w'}));
  ASSERT_EQ(proxy::Socks5AuthRequest("bob", "", out), 0u);
  EXPECT_EQ(Str(out), Bytes({1, 3, 'b', 'o', 'b', 0}));
  EXPECT_EQ(proxy::Socks5AuthRequest(std::string(255, 'u'), std::string(255, 'p'), out), 0u);
  EXPECT_EQ(out.size(), 255u + 255u + 3u);
  EXPECT_EQ(proxy::Socks5AuthRequest(std::string(256, 'u'), "p", out), km7::ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(proxy::Socks5AuthRequest("u", std::string(256, 'p'), out), km7::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(proxy::Socks5AuthReplyError(reinterpret_cast<const uint8_t*>("\x01\x00")), 0u);
  EXPECT_EQ(proxy::Socks5AuthReplyError(reinterpret_cast<const uint8_t*>("\x09\x00")), 0u);
  EXPECT_EQ(proxy::Socks5AuthReplyError(reinterpret_cast<const uint8_t*>("\x01\x01")), km7::ERROR_ACCESS_DENIED);
}

TEST(ProxyRequestTest, Socks5ConnectRequests) {
  std::vector<uint8_t> out;
  ASSERT_EQ(proxy::Socks5ConnectRequest("192.168.0.9", 587, false, out), 0u);
  EXPECT_EQ(Str(out), Bytes({5, 1, 0, 1, 192, 168, 0, 9, 2, 0x4b}));
  ASSERT_EQ(proxy::Socks5ConnectRequest("192.168.0.9", 587, true, out), 0u);
  EXPECT_EQ(out[1], 1);  // the address form always connects
  ASSERT_EQ(proxy::Socks5ConnectRequest("mail.example", 25, false, out), 0u);
  EXPECT_EQ(Str(out), Bytes({5, 1, 0, 3, 12}) + "mail.example" + Bytes({0, 25}));
  ASSERT_EQ(proxy::Socks5ConnectRequest("mail.example", 25, true, out), 0u);
  EXPECT_EQ(out[1], 3);
  EXPECT_EQ(proxy::Socks5ConnectRequest(std::string(255, 'h').c_str(), 25, false, out), 0u);
  EXPECT_EQ(out.size(), 255u + 7u);
  EXPECT_EQ(proxy::Socks5ConnectRequest(std::string(256, 'h').c_str(), 25, false, out),
            km7::ERROR_INVALID_PARAMETER);
}

TEST(ProxyRequestTest, Socks5ConnectReplyAssembly) {
  struct Case {
    std::string data;
    bool complete;
    uint32_t error;
    size_t needed;
  };
  const std::string ipv4 = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 25});
  const std::string name = Bytes({5, 0, 0, 3, 9}) + "localhost" + Bytes({0, 25});
  ASSERT_EQ(name.size(), 16u);
  const Case cases[] = {
      {"", false, 0, 4},
      {ipv4.substr(0, 3), false, 0, 1},
      {ipv4.substr(0, 4), false, 0, 6},
      {ipv4.substr(0, 9), false, 0, 1},
      {ipv4, true, 0, 0},
      {name.substr(0, 4), false, 0, 1},
      {name.substr(0, 5), false, 0, 11},
      {name.substr(0, 15), false, 0, 1},
      {name, true, 0, 0},
      {Bytes({5, 1, 0, 1, 0, 0, 0, 0, 0, 0}), true, km7::ERROR_BAD_NET_RESP, 0},
      // An IPv6 bound address: 4 + 16 + 2 bytes.
      {Bytes({5, 0, 0, 4}), false, 0, 18},
      {Bytes({5, 0, 0, 4}) + std::string(18, '\0'), true, 0, 0},
      {Bytes({5, 0, 0, 5}), false, km7::ERROR_INVALID_PARAMETER, 0},
      {Bytes({5, 0, 0, 0}), false, km7::ERROR_INVALID_PARAMETER, 0},
      {Bytes({9, 0, 0, 1, 1, 1, 1, 1, 0, 0}), true, 0, 0},  // version byte unchecked
  };
  for (const Case& c : cases) {
    const proxy::Socks5ReplyState s =
        proxy::Socks5ConnectReplyState(reinterpret_cast<const uint8_t*>(c.data.data()), c.data.size());
    EXPECT_EQ(s.complete, c.complete) << c.data.size();
    EXPECT_EQ(s.error, c.error) << c.data.size();
    if (!s.complete && s.error == 0) {
      EXPECT_EQ(s.needed, c.needed) << c.data.size();
    }
  }
}

TEST(ProxyRequestTest, HttpConnectRequestLines) {
  EXPECT_EQ(proxy::HttpConnectRequest("mail.example", 25, nullptr, nullptr, nullptr),
            "CONNECT mail.example:25 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(proxy::HttpConnectRequest("mail.example", 587, "bob", "", "km7"),
            "CONNECT mail.example:587 HTTP/1.0\r\nProxy-authorization: Basic " + Base64("bob:") +
                "\r\nUser-Agent: km7\r\n\r\n");
  // A long credential stays on one line.
  const std::string user(60, 'u');
  const std::string password(40, 'p');
  const std::string request = proxy::HttpConnectRequest("h", 1, user.c_str(), password.c_str(), nullptr);
  const std::string line = "Proxy-authorization: Basic " + Base64(user + ":" + password) + "\r\n";
  EXPECT_EQ(request, "CONNECT h:1 HTTP/1.0\r\n" + line + "\r\n");
  size_t count = 0;
  for (size_t at = request.find("Proxy-authorization"); at != std::string::npos;
       at = request.find("Proxy-authorization", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u);
}

TEST(ProxyRequestTest, HttpReplyStatus) {
  struct Case {
    std::string reply;
    uint32_t error;
  };
  for (const Case& c : {Case{"HTTP/1.0 200 Connection established\r\n\r\n", 0u},
                        Case{"HTTP/1.1 200\r\n\r\n", 0u}, Case{"HTTP/1.1  \t200 OK\r\n\r\n", 0u},
                        Case{"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", 1225u},
                        Case{"HTTP/1.1 2000 OK\r\n\r\n", 1225u}, Case{"HTTP/1.1 OK\r\n\r\n", 1225u},
                        Case{"HTTP/1.1 99999999999999999999200\r\n\r\n", 1225u},
                        Case{"garbage\r\n\r\n", 0u}}) {
    EXPECT_EQ(proxy::HttpReplyError(c.reply), c.error) << c.reply;
  }
  EXPECT_TRUE(proxy::HttpReplyComplete("HTTP/1.0 200 OK\r\n\r\n"));
  EXPECT_FALSE(proxy::HttpReplyComplete("HTTP/1.0 200 OK\r\n"));
  EXPECT_FALSE(proxy::HttpReplyComplete("\r\n\r"));
}

// ---------------------------------------------------------------------------
// Handshakes against a scripted proxy

TEST(Socks4HandshakeTest, ResolvesLocallyAndAcceptsAReplyInPieces) {
  ScriptedServer server([](ScriptedPeer& peer) {
    if (peer.ReadExactly(9) != Bytes({4, 1, 0, 25, 127, 0, 0, 1, 0})) throw km7::test::ScriptError("request");
    peer.SendInPieces({Bytes({0, 90, 0}), Bytes({0, 0, 0, 0, 0})});
    EchoTunnel(peer);
  });
  CWSocket socket;
  socket.Create();
  socket.ConnectThroughSocks4("localhost", 25, "127.0.0.1", server.Port(), kWaitMs);
  ExpectTunnel(socket);
  EXPECT_EQ(server.Finish(), "");
}

TEST(Socks4HandshakeTest, FailuresCloseTheSocket) {
  struct Case {
    std::function<void(ScriptedPeer&)> script;
    uint32_t code;
  };
  const Case cases[] = {
      {[](ScriptedPeer& p) { p.ReadExactly(9), p.Send(Bytes({0, 91, 0, 0, 0, 0, 0, 0})); }, 58},
      {[](ScriptedPeer& p) { p.ReadExactly(9), p.Send(Bytes({1, 90, 0, 0, 0, 0, 0, 0})); }, 58},
      {[](ScriptedPeer& p) { p.ReadExactly(9), p.Send(Bytes({0, 90, 0})), p.Close(); }, 1226},
      {[](ScriptedPeer& p) { p.ReadExactly(9), p.Send(Bytes({0, 90, 0})), p.WaitClosed(); }, 1460},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    bool open = true;
    // Only the silent proxy needs to run into the (short) time-out.
    const uint32_t wait = c.code == km7::ERROR_TIMEOUT ? 300 : kWaitMs;
    EXPECT_EQ(Handshake([&](CWSocket& s) { s.ConnectThroughSocks4("127.0.0.1", 25, "127.0.0.1", server.Port(), wait); },
                        &open),
              c.code);
    EXPECT_FALSE(open);
    EXPECT_EQ(server.Finish(), "");
  }
}

TEST(Socks4HandshakeTest, UnknownDestinationClosesAndReachingNoProxyLeavesItOpen) {
  ScriptedServer server([](ScriptedPeer& p) { p.WaitClosed(); });
  bool open = true;
  const uint32_t code = Handshake(
      [&](CWSocket& s) { s.ConnectThroughSocks4("no-such-host.invalid", 25, "127.0.0.1", server.Port(), 300); },
      &open);
  EXPECT_TRUE(code == km7::WSAHOST_NOT_FOUND || code == km7::WSATRY_AGAIN || code == km7::WSANO_RECOVERY) << code;
  EXPECT_FALSE(open);
  EXPECT_EQ(server.Received(), "");  // the name itself is never sent
  EXPECT_EQ(server.Finish(), "");

  EXPECT_EQ(Handshake([&](CWSocket& s) { s.ConnectThroughSocks4("127.0.0.1", 25, "127.0.0.1", km7::test::UnusedPort(), 300); },
                      &open),
            km7::WSAECONNREFUSED);
  EXPECT_TRUE(open);
}

TEST(Socks5HandshakeTest, WithoutCredentialsAndAReplyInPieces) {
  ScriptedServer server([](ScriptedPeer& peer) {
    if (peer.ReadExactly(3) != Bytes({5, 1, 0})) throw km7::test::ScriptError("greeting");
    peer.Send(Bytes({5, 0}));
    const std::string request = Bytes({5, 1, 0, 3, 9}) + "localhost" + Bytes({0, 25});
    if (peer.ReadExactly(request.size()) != request) throw km7::test::ScriptError("request");
    peer.SendInPieces({Bytes({5, 0, 0}), Bytes({1, 127, 0, 0, 1, 0, 25})});
    EchoTunnel(peer);
  });
  CWSocket socket;
  socket.Create();
  socket.ConnectThroughSocks5("localhost", 25, "127.0.0.1", server.Port(), nullptr, nullptr, kWaitMs);
  ExpectTunnel(socket);
  EXPECT_EQ(server.Finish(), "");
}

TEST(Socks5HandshakeTest, WithCredentialsTheSubNegotiationCarriesThem) {
  ScriptedServer server([](ScriptedPeer& peer) {
    if (peer.ReadExactly(4) != Bytes({5, 2, 0, 2})) throw km7::test::ScriptError("greeting");
    peer.Send(Bytes({5, 2}));
    if (peer.ReadExactly(10) != Bytes({1, 4, 'u', 's', 'e', 'r', 3, 'p', 'w', 'd'})) {
      throw km7::test::ScriptError("credentials");
    }
    peer.Send(Bytes({1, 0}));
    if (peer.ReadExactly(10) != Bytes({5, 1, 0, 1, 127, 0, 0, 1, 0, 25})) throw km7::test::ScriptError("request");
    // A domain-name reply with a name of 9 bytes is complete at 16 bytes;
    // the tunnel's first bytes follow in the same piece.
    peer.Send(Bytes({5, 0, 0, 3, 9}) + "localhost" + Bytes({0, 25}) + "pong early\r\n");
    EchoTunnel(peer);
  });
  CWSocket socket;
  socket.Create();
  socket.ConnectThroughSocks5("127.0.0.1", 25, "127.0.0.1", server.Port(), "user", "pwd", kWaitMs);
  // Nothing of the tunnel was taken by the handshake.
  std::string got;
  char buffer[64];
  while (got != "pong early\r\n" && got.size() < 12) {
    ASSERT_TRUE(socket.WaitReadable(kWaitMs));
    const size_t n = socket.Receive(buffer, 12 - got.size());
    ASSERT_NE(n, 0u);
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "pong early\r\n");
  ExpectTunnel(socket);
  EXPECT_EQ(server.Finish(), "");
}

TEST(Socks5HandshakeTest, ProxyChoosingNoAuthenticationGetsNoCredentials) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.ReadExactly(4);
    peer.Send(Bytes({5, 0}));
    if (peer.ReadExactly(4) != Bytes({5, 1, 0, 1})) throw km7::test::ScriptError("credentials were sent");
    peer.ReadExactly(6);
    peer.Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EchoTunnel(peer);
  });
  CWSocket socket;
  socket.Create();
  socket.ConnectThroughSocks5("127.0.0.1", 25, "127.0.0.1", server.Port(), "user", "secret", kWaitMs);
  ExpectTunnel(socket);
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received().find("secret"), std::string::npos);
}

TEST(Socks5HandshakeTest, FailuresCloseTheSocket) {
  struct Case {
    const char* what;
    const char* user;
    std::string host;
    std::function<void(ScriptedPeer&)> script;
    uint32_t code;
  };
  const std::string longUser(256, 'u');
  auto toConnect = [](ScriptedPeer& p, bool auth) {
    p.ReadExactly(auth ? 4 : 3);
    p.Send(Bytes({5, 0}));
    p.ReadExactly(10);
  };
  const Case cases[] = {
      {"no acceptable method", nullptr, "127.0.0.1", [](ScriptedPeer& p) { p.ReadExactly(3), p.Send(Bytes({5, 0xff})); }, 10061},
      {"method not offered", nullptr, "127.0.0.1", [](ScriptedPeer& p) { p.ReadExactly(3), p.Send(Bytes({5, 2})); }, 10061},
      {"credentials refused", "u", "127.0.0.1",
       [](ScriptedPeer& p) { p.ReadExactly(4), p.Send(Bytes({5, 2})), p.ReadExactly(5), p.Send(Bytes({1, 1})); }, 5},
      {"user name too long", longUser.c_str(), "127.0.0.1",
       [](ScriptedPeer& p) {
         p.ReadExactly(4), p.Send(Bytes({5, 2}));
         if (!p.WaitClosed()) throw km7::test::ScriptError("not closed");
       },
       87},
      {"name too long", nullptr, std::string(256, 'h'),
       [](ScriptedPeer& p) {
         p.ReadExactly(3), p.Send(Bytes({5, 0}));
         if (!p.WaitClosed()) throw km7::test::ScriptError("not closed");
       },
       87},
      {"unknown address type", nullptr, "127.0.0.1",
       [&](ScriptedPeer& p) { toConnect(p, false), p.Send(Bytes({5, 0, 0, 7})); }, 87},
      {"refused by the destination", nullptr, "127.0.0.1",
       [&](ScriptedPeer& p) { toConnect(p, false), p.Send(Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})); }, 58},
      {"closed mid-reply", nullptr, "127.0.0.1",
       [&](ScriptedPeer& p) { toConnect(p, false), p.Send(Bytes({5, 0, 0, 1, 0})), p.Close(); }, 1226},
      {"silent mid-reply", nullptr, "127.0.0.1",
       [&](ScriptedPeer& p) { toConnect(p, false), p.Send(Bytes({5, 0, 0, 1, 0})), p.WaitClosed(); }, 1460},
      {"silent after greeting", nullptr, "127.0.0.1", [](ScriptedPeer& p) { p.ReadExactly(3), p.WaitClosed(); }, 1460},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    bool open = true;
    const uint32_t wait = c.code == km7::ERROR_TIMEOUT ? 300 : kWaitMs;
    EXPECT_EQ(Handshake(
                  [&](CWSocket& s) {
                    s.ConnectThroughSocks5(c.host.c_str(), 25, "127.0.0.1", server.Port(), c.user, "pw", wait);
                  },
                  &open),
              c.code)
        << c.what;
    EXPECT_FALSE(open) << c.what;
    EXPECT_EQ(server.Finish(), "") << c.what;
    if (c.code == 87 && c.user != nullptr) {
      EXPECT_EQ(server.Received(), Bytes({5, 2, 0, 2})) << "nothing of the credentials is sent";
    }
  }
}

TEST(HttpProxyHandshakeTest, OpensTheTunnelAndKeepsTheReply) {
  ScriptedServer server([](ScriptedPeer& peer) {
    const std::string request = peer.ReadUntil("\r\n\r\n");
    const std::string expected = "CONNECT mail.example:25 HTTP/1.0\r\nProxy-authorization: Basic " +
                                 Base64("bob:secret") + "\r\nUser-Agent: km7 test\r\n\r\n";
    if (request != expected) throw km7::test::ScriptError("request: " + request);
    peer.SendInPieces({"HTTP/1.0 200 Connection", " established\r\nVia: test\r\n", "\r\n"});
    EchoTunnel(peer);
  });
  CWSocket socket;
  socket.Create();
  std::string reply;
  socket.ConnectThroughHttpProxy("mail.example", 25, "127.0.0.1", server.Port(), reply, "bob", "secret", kWaitMs,
                                 "km7 test");
  EXPECT_EQ(reply, "HTTP/1.0 200 Connection established\r\nVia: test\r\n\r\n");
  ExpectTunnel(socket);
  EXPECT_EQ(server.Finish(), "");
}

TEST(HttpProxyHandshakeTest, FailuresCloseTheSocket) {
  struct Case {
    const char* what;
    std::function<void(ScriptedPeer&)> script;
    uint32_t code;
  };
  const Case cases[] = {
      {"407", [](ScriptedPeer& p) { p.ReadUntil("\r\n\r\n"), p.Send("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"); },
       1225},
      {"silent", [](ScriptedPeer& p) { p.ReadUntil("\r\n\r\n"), p.Send("HTTP/1.1 200 OK\r\n"), p.WaitClosed(); }, 1460},
      {"closed", [](ScriptedPeer& p) { p.ReadUntil("\r\n\r\n"), p.Send("HTTP/1.1 200 OK\r\n"), p.Close(); }, 1226},
      {"endless", [](ScriptedPeer& p) {
         p.ReadUntil("\r\n\r\n");
         try {
           for (int i = 0; i < 2000; ++i) p.Send("X-Filler: " + std::string(100, 'f') + "\r\n");
         } catch (const km7::test::ScriptError&) {
           // The client gave up and closed.
         }
       },
       km7::ERROR_BAD_NET_RESP},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    bool open = true;
    const uint32_t wait = c.code == km7::ERROR_TIMEOUT ? 300 : kWaitMs;
    std::string reply;
    EXPECT_EQ(Handshake(
                  [&](CWSocket& s) {
                    s.ConnectThroughHttpProxy("h", 25, "127.0.0.1", server.Port(), reply, nullptr, nullptr, wait, nullptr);
                  },
                  &open),
              c.code)
        << c.what;
    EXPECT_FALSE(open) << c.what;
    EXPECT_EQ(server.Finish(), "") << c.what;
    EXPECT_EQ(server.Received(), "CONNECT h:25 HTTP/1.0\r\n\r\n") << c.what;
  }
}
