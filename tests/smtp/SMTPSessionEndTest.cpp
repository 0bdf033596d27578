// How a session ends: QUIT and its failures, a server or a transport that
// goes away, texts refused before anything is sent, and the proxies.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/SessionScripts.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

// The scripted servers, the session and the codes they raise.
using namespace km7::test;

TEST(SMTPSessionTest, DisconnectWithoutAConnectionSendsAndRaisesNothing) {
  Session s;
  EXPECT_NO_THROW(s.Disconnect(true));
  EXPECT_NO_THROW(s.Disconnect(false));
  EXPECT_FALSE(s.IsConnected());
}

TEST(SMTPSessionTest, DisconnectWithoutQuitOnlyCloses) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p);
    if (!p.WaitClosed()) throw ScriptError("not closed");
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  EXPECT_NO_THROW(s.Disconnect(false));
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
}

TEST(SMTPSessionTest, DisconnectFailuresAreRaisedAfterClosing) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPeer&)> afterQuit;
    uint32_t code;
    std::string lastResponse;
  };
  const Case cases[] = {
      {"500 to QUIT", [](ScriptedPeer& p) { p.Send("500 no\r\n"); }, Itf(518), "500 no\r\n"},
      {"close instead of 221", [](ScriptedPeer& p) { p.Send("22"), p.Close(); }, Itf(548), "22"},
      {"silence", [](ScriptedPeer& p) { p.WaitClosed(); }, Itf(518), ""},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p);
      p.Expect("QUIT");
      c.afterQuit(p);
    });
    Session s;
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
    if (c.lastResponse.empty()) s.SetTimeout(300);  // only silence needs the time-out
    const Failure f = Catch([&] { s.Disconnect(true); });
    EXPECT_EQ(f.code, c.code) << c.name;
    EXPECT_EQ(f.lastResponse, c.lastResponse) << c.name;
    EXPECT_FALSE(s.IsConnected()) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
    EXPECT_NO_THROW(s.Disconnect(true)) << c.name;  // already closed
  }
}

TEST(SMTPSessionTest, DestructionQuitsAConnectedSession) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p);
    p.Expect("QUIT");
    p.Send("500 whatever\r\n");  // ignored at destruction
  });
  {
    Session s;
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  }
  EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSessionTest, ServerClosingWhileAReplyIsAwaitedRaises548) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p);
    p.Expect("MAIL");
    p.Send("250-partial\r\n");
    p.Close();
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  CZRKSMTPMessage m = SimpleMessage();
  const Failure f = Catch([&] { s.SendMessage(m); });
  EXPECT_EQ(f.code, Itf(548));
  EXPECT_EQ(f.lastResponse, "250-partial\r\n");
  EXPECT_TRUE(s.IsConnected());
  Catch([&] { s.Disconnect(true); });
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
}

// ---------------------------------------------------------------------------
// Transport failures and refusals

TEST(SMTPSessionTest, TransportFailuresAreRaisedInTheWin32Facility) {
  Session s;
  Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", km7::test::UnusedPort()); });
  EXPECT_EQ(f.code, Win32(km7::WSAECONNREFUSED));
  EXPECT_EQ(f.lastResponse, "");
  EXPECT_FALSE(s.IsConnected());

  s.SetBindAddress("no-such-host.invalid");
  f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", km7::test::UnusedPort()); });
  EXPECT_EQ(f.code, Win32(km7::WSAEINVAL));

  // Sending without a connection fails on the closed socket.
  Session idle;
  CZRKSMTPMessage m = SimpleMessage();
  f = Catch([&] { idle.SendMessage(m); });
  EXPECT_EQ(km7::SMTPErrorFacility(f.code), km7::FACILITY_WIN32);
}

TEST(SMTPSessionTest, UnknownConnectionTypeOpensNothing) {
  Session s;
  s.SetConnectionType(static_cast<SMTPConnectionType>(7));
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", km7::test::UnusedPort()); });
  EXPECT_EQ(km7::SMTPErrorFacility(f.code), km7::FACILITY_WIN32);
  EXPECT_FALSE(s.IsConnected());
}

TEST(SMTPSessionTest, BindAddressIsUsed) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p);
    AnswerQuit(p);
  });
  Session s;
  s.SetBindAddress("127.0.0.1");
  s.Connect("localhost", SMTPAuthMethod::None, "", "", server.Port());
  s.Disconnect(true);
  EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSessionTest, HeloNameWithALineBreakIsRefusedBeforeConnecting) {
  for (const char* name : {"host\r\nMAIL FROM:<x@y>", "host\n", "host\r"}) {
    Session s;
    s.SetHeloHostName(name);
    // Nothing listens on the port: reaching it would raise 10061 instead.
    const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", km7::test::UnusedPort()); });
    EXPECT_EQ(f.code, Itf(km7::IDS_INVALID_HELO_NAME)) << name;
    EXPECT_NE(CZRKSMTPException(f.code).GetErrorMessage(), "");
  }
  Session s;
  s.SetUserAgent("agent\r\nX-Injected: 1");
  s.SetConnectionType(SMTPConnectionType::HttpProxy);
  EXPECT_EQ(Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", km7::test::UnusedPort()); }).code,
            Win32(km7::ERROR_INVALID_PARAMETER));
}

TEST(SMTPSessionTest, HeloNameAutoIsTheLocalHostName) {
  CZRKSMTPConnection s;
  char buffer[260] = {};
  ASSERT_EQ(gethostname(buffer, sizeof buffer - 1), 0);
  EXPECT_EQ(s.GetHeloHostName(), buffer);
  s.SetHeloHostName("Auto");
  EXPECT_EQ(s.GetHeloHostName(), "Auto");
  s.SetHeloHostName("auto");
  EXPECT_EQ(s.GetHeloHostName(), buffer);
  EXPECT_EQ(s.GetTimeout(), 60000u);
  EXPECT_EQ(s.GetProxyPort(), 1080);
  EXPECT_EQ(s.GetConnectionType(), SMTPConnectionType::Direct);
  EXPECT_EQ(s.GetLastResponseCode(), 0);
  EXPECT_FALSE(s.IsConnected());
}

TEST(SMTPSessionTest, AddressWithALineBreakIsRefusedBeforeAnythingIsSent) {
  struct Case {
    const char* name;
    std::function<void(CZRKSMTPMessage&)> spoil;
  };
  const Case cases[] = {
      {"sender", [](CZRKSMTPMessage& m) { m.SetFrom(CZRKSMTPAddress("", "a@b>\r\nRCPT TO:<evil@x")); }},
      {"recipient", [](CZRKSMTPMessage& m) { m.GetTo().push_back(CZRKSMTPAddress("", "c@d\r\nDATA")); }},
      {"cc", [](CZRKSMTPMessage& m) { m.GetCc().push_back(CZRKSMTPAddress("", "c@d\n")); }},
      {"bcc", [](CZRKSMTPMessage& m) { m.GetBcc().push_back(CZRKSMTPAddress("", "c@d\r")); }},
      {"friendly name", [](CZRKSMTPMessage& m) { m.GetTo().push_back(CZRKSMTPAddress("Eve\r\nBcc: x@y", "e@x")); }},
  };
  for (const Case& c : cases) {
    ScriptedServer server([](ScriptedPeer& p) {
      Greet(p);
      AnswerQuit(p);  // the next command must be QUIT: nothing of the message
    });
    Session s;
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
    CZRKSMTPMessage m = SimpleMessage();
    c.spoil(m);
    const Failure f = Catch([&] { s.SendMessage(m); });
    EXPECT_EQ(km7::SMTPErrorFacility(f.code), km7::FACILITY_ITF) << c.name;
    EXPECT_NE(f.code, 0u) << c.name;
    s.Disconnect(true);
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

// ---------------------------------------------------------------------------
// Sessions through proxies

TEST(SMTPSessionTest, SessionsThroughEachProxy) {
  struct Case {
    const char* name;
    SMTPConnectionType type;
    std::function<void(ScriptedPeer&)> handshake;
  };
  const std::string request4 = std::string("\x04\x01\x00\x19\x7f\x00\x00\x01\x00", 9);
  const Case cases[] = {
      {"socks4", SMTPConnectionType::Socks4,
       [&](ScriptedPeer& p) {
         if (p.ReadExactly(9) != request4) throw ScriptError("socks4 request");
         p.Send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
       }},
      {"socks5", SMTPConnectionType::Socks5,
       [](ScriptedPeer& p) {
         if (p.ReadExactly(4) != std::string("\x05\x02\x00\x02", 4)) throw ScriptError("socks5 greeting");
         p.Send(std::string("\x05\x02", 2));
         if (p.ReadExactly(11) != std::string("\x01\x03pxy\x05pxypw", 11)) throw ScriptError("socks5 credentials");
         p.Send(std::string("\x01\x00", 2));
         p.ReadExactly(10);
         // The greeting follows the connect reply in the same piece.
         p.Send(std::string("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10) + "220 hi\r\n");
       }},
      {"http", SMTPConnectionType::HttpProxy,
       [](ScriptedPeer& p) {
         const std::string request = p.ReadUntil("\r\n\r\n");
         if (request.find("CONNECT 127.0.0.1:25 HTTP/1.0\r\n") != 0 ||
             request.find("\r\nProxy-authorization: Basic " + km7::Base64Encode("pxy:pxypw", 2) + "\r\n") ==
                 std::string::npos ||
             request.find("\r\nUser-Agent: km7-test\r\n") == std::string::npos) {
           throw ScriptError("http request: " + request);
         }
         p.Send("HTTP/1.1 200 Connection established\r\n\r\n");
       }},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](ScriptedPeer& p) {
      c.handshake(p);
      if (c.type != SMTPConnectionType::Socks5) p.Send("220 hi\r\n");
      p.Expect("HELO client.test");
      p.Send("250 ok\r\n");
      AnswerQuit(p);
    });
    Session s;
    s.SetConnectionType(c.type);
    s.SetProxyServer("127.0.0.1");
    s.SetProxyPort(server.Port());
    s.SetProxyUserName("pxy");
    s.SetProxyPassword("pxypw");
    s.SetUserAgent("km7-test");
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", 25);
    EXPECT_TRUE(s.IsConnected()) << c.name;
    s.Disconnect(true);
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

TEST(SMTPSessionTest, ProxyFailureIsRaisedAndClosesTheSession) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.ReadUntil("\r\n\r\n");
    p.Send("HTTP/1.1 403 Forbidden\r\n\r\n");
    if (!p.WaitClosed()) throw ScriptError("not closed");
  });
  Session s;
  s.SetConnectionType(SMTPConnectionType::HttpProxy);
  s.SetProxyServer("127.0.0.1");
  s.SetProxyPort(server.Port());
  const Failure f = Catch([&] { s.Connect("mail.example", SMTPAuthMethod::None, "", "", 25); });
  EXPECT_EQ(f.code, Win32(km7::ERROR_CONNECTION_REFUSED));
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  // No proxy user name: no credential line.
  EXPECT_EQ(server.Received(), "CONNECT mail.example:25 HTTP/1.0\r\n\r\n");
}
