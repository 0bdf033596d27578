// The session against scripted servers where a real one cannot be made to
// misbehave: STARTTLS not offered or refused, a handshake with a peer that
// speaks no TLS, replies that trickle in, stalls after a command, proxies
// that trickle their answer, and the fallback between AUTH mechanisms.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

using km7::test::Catch;
using km7::test::Failure;
using km7::test::ScriptedPeer;
using km7::test::Itf;
using km7::test::Win32;
using km7::test::ScriptedServer;
using km7::test::ScriptError;
using km7::test::Session;
using Clock = std::chrono::steady_clock;

namespace {

void ExpectClosedWithoutQuit(ScriptedPeer& p) {
  if (!p.WaitClosed()) throw ScriptError("not closed");
}

}  // namespace

// ---------------------------------------------------------------------------
// STARTTLS

TEST(StartTlsTest, NegotiationFailuresEndTheSessionBeforeAnyAuthOrMail) {
  struct Case {
    const char* name;
    const char* ehloReply;
    std::function<void(ScriptedPeer&)> afterEhlo;
    uint32_t code;
    const char* lastResponse;  // nullptr: not checked
  };
  const Case cases[] = {
      {"not offered", "250-test\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 1000\r\n",
       [](ScriptedPeer& p) {
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       Itf(km7::IDS_STARTTLS_NOT_OFFERED), "250-test\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 1000\r\n"},
      {"offered only inside another word", "250-test\r\n250-XSTARTTLS\r\n250 OK\r\n",
       [](ScriptedPeer& p) {
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       Itf(km7::IDS_STARTTLS_NOT_OFFERED), nullptr},
      {"refused", "250-test\r\n250 STARTTLS\r\n",
       [](ScriptedPeer& p) {
         p.Expect("STARTTLS\r\n");
         p.Send("454 4.7.0 TLS not available\r\n");
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       Itf(km7::IDS_UNEXPECTED_STARTTLS_RESPONSE), "454 4.7.0 TLS not available\r\n"},
      // Lower case is an offer too; the peer then answers in plain text.
      {"no TLS after 220", "250-test\r\n250 starttls\r\n",
       [](ScriptedPeer& p) {
         p.Expect("STARTTLS\r\n");
         p.Send("220 go ahead\r\n");
         p.ReadExactly(5);  // the start of the client's hello
         p.Send("this is not TLS\r\n");
         ExpectClosedWithoutQuit(p);
       },
       Itf(km7::IDS_SSL_CONNECT_FAILED), nullptr},
      {"closed after 220", "250-test\r\n250 STARTTLS\r\n",
       [](ScriptedPeer& p) {
         p.Expect("STARTTLS\r\n");
         p.Send("220 go ahead\r\n");
         p.Close();
       },
       Itf(km7::IDS_SSL_CONNECT_FAILED), "the server closed the connection"},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](ScriptedPeer& p) {
      p.Send("220 test ESMTP\r\n");
      p.Expect("EHLO client.test\r\n");
      p.Send(c.ehloReply);
      c.afterEhlo(p);
    });
    Session s;
    s.SetSecurity(SMTPSecurity::StartTls);
    const Failure f =
        Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::Login, "user", "secret", server.Port()); });
    EXPECT_EQ(f.code, c.code) << c.name;
    if (c.lastResponse != nullptr) {
      EXPECT_EQ(f.lastResponse, c.lastResponse) << c.name;
    }
    EXPECT_FALSE(s.IsConnected()) << c.name;
    EXPECT_FALSE(s.IsSecure()) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
    const std::string sent = server.Received();
    EXPECT_EQ(sent.find("AUTH"), std::string::npos) << c.name;
    EXPECT_EQ(sent.find("MAIL"), std::string::npos) << c.name;
  }
}

TEST(StartTlsTest, TlsFromTheFirstByteWithAPlainServerFailsWithoutWaitingOrQuitting) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.ReadExactly(5);  // the client's hello comes first
    p.Send("220 plain server ESMTP\r\n");
    ExpectClosedWithoutQuit(p);
  });
  Session s(30000);
  s.SetSecurity(SMTPSecurity::Tls);
  const auto start = Clock::now();
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  EXPECT_EQ(f.code, Itf(km7::IDS_SSL_CONNECT_FAILED));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "failed at once, not after the time-out";
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
}

TEST(StartTlsTest, MissingCaFileIsReportedAsASetUpFailure) {
  ScriptedServer server([](ScriptedPeer& p) { ExpectClosedWithoutQuit(p); });
  Session s;
  s.SetSecurity(SMTPSecurity::Tls);
  s.SetCaFile("no-such-folder/ca.pem");
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  EXPECT_EQ(f.code, Itf(km7::IDS_SSL_SOCKET_FAILED));
  EXPECT_NE(f.lastResponse.find("no-such-folder/ca.pem"), std::string::npos) << f.lastResponse;
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received(), "");
}

// ---------------------------------------------------------------------------
// Time-outs bound the whole reply, and no QUIT follows one

namespace {

// Sends text one byte at a time, pauseMs apart.
void Trickle(ScriptedPeer& p, const std::string& text, int pauseMs) {
  for (char c : text) {
    p.Send(std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

}  // namespace

TEST(ReplyTimeoutTest, ATricklingReplyEndsAtTheTimeOutWithoutQuit) {
  // Every byte comes well within the time-out; the whole reply does not.
  ScriptedServer server(
      [](ScriptedPeer& p) {
        try {
          Trickle(p, "220 a greeting that takes far longer than the time-out\r\n", 250);
        } catch (const ScriptError&) {
          return;  // the client has gone: as it should
        }
      },
      30000);
  Session s(1500);
  const auto start = Clock::now();
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  const auto took = Clock::now() - start;
  EXPECT_EQ(f.code, Itf(km7::IDS_NO_ANSWER));
  EXPECT_EQ(f.lastResponse.rfind("220 a", 0), 0u) << f.lastResponse;
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  EXPECT_LT(took, std::chrono::seconds(8)) << "the trickle lasts 14 s";
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received(), "");
}

TEST(ReplyTimeoutTest, AStallAfterTheMessageClosesWithoutQuit) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.Send("220 test\r\n");
    p.Expect("HELO");
    p.Send("250 ok\r\n");
    p.Expect("MAIL FROM");
    p.Send("250 ok\r\n");
    p.Expect("RCPT TO");
    p.Send("250 ok\r\n");
    p.Expect("DATA");
    p.Send("354 go\r\n");
    p.ReadUntil("\r\n.\r\n");
    ExpectClosedWithoutQuit(p);  // never answers the end of data
  });
  Session s(1000);
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  CZRKSMTPMessage m;
  m.SetFrom(CZRKSMTPAddress("", "a@example.org"));
  m.GetTo().push_back(CZRKSMTPAddress("", "b@example.org"));
  m.AddTextBody("hello\r\n");
  const Failure f = Catch([&] { s.SendMessage(m); });
  EXPECT_EQ(f.code, Itf(km7::IDS_NO_ANSWER));
  const auto start = Clock::now();
  EXPECT_NO_THROW(s.Disconnect(true));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << "no second time-out for QUIT";
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received().find("QUIT"), std::string::npos);
}

TEST(ReplyTimeoutTest, ATricklingProxyAnswerEndsAtTheTimeOut) {
  const std::string socks5Reply("\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x19", 12);
  struct Case {
    const char* name;
    SMTPConnectionType type;
    std::function<void(ScriptedPeer&)> script;
  };
  const Case cases[] = {
      {"HTTP", SMTPConnectionType::HttpProxy,
       [](ScriptedPeer& p) {
         p.ReadUntil("\r\n\r\n");
         Trickle(p, "HTTP/1.0 200 Connection established\r\n\r\n", 250);
       }},
      {"SOCKS5", SMTPConnectionType::Socks5,
       [&](ScriptedPeer& p) {
         p.ReadExactly(3);
         Trickle(p, socks5Reply.substr(0, 2), 250);
         p.ReadExactly(10);
         Trickle(p, socks5Reply.substr(2) + std::string(40, '\0'), 250);
       }},
  };
  for (const Case& c : cases) {
    ScriptedServer proxy(
        [&](ScriptedPeer& p) {
          try {
            c.script(p);
          } catch (const ScriptError&) {
            // the client has gone
          }
        },
        30000);
    Session s(1500);
    s.SetConnectionType(c.type);
    s.SetProxyServer("127.0.0.1");
    s.SetProxyPort(proxy.Port());
    const auto start = Clock::now();
    const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", 25); });
    const auto took = Clock::now() - start;
    EXPECT_EQ(f.code, Win32(km7::ERROR_TIMEOUT)) << c.name;
    EXPECT_LT(took, std::chrono::seconds(8)) << c.name;
    EXPECT_EQ(proxy.Finish(), "") << c.name;
  }
}

// ---------------------------------------------------------------------------
// AutoDetect after a refusal

TEST(AutoFallbackTest, RefusedMechanismsGiveWayOnlyToOnesAsSafe) {
  struct Case {
    const char* name;
    const char* offered;
    std::vector<std::pair<const char*, const char*>> exchanges;  // command prefix, reply
    uint32_t code;  // 0: logged in
  };
  const Case cases[] = {
      // Without TLS a refused CRAM-MD5 never becomes LOGIN or PLAIN.
      {"challenge-response only", "NTLM CRAM-MD5 LOGIN PLAIN",
       {{"AUTH NTLM ", "535 5.7.8 no"}, {"AUTH CRAM-MD5", "535 5.7.8 no"}},
       Itf(km7::IDS_UNEXPECTED_CRAM_MD5_RESPONSE)},
      {"login then plain", "LOGIN PLAIN",
       {{"AUTH LOGIN", "535 5.7.8 no"}, {"AUTH PLAIN", "334 "}, {"", "235 ok"}}, 0},
      {"mechanism unknown to the server", "CRAM-MD5 PLAIN",
       {{"AUTH CRAM-MD5", "504 5.5.4 unrecognized"}}, Itf(km7::IDS_UNEXPECTED_CRAM_MD5_RESPONSE)},
      {"temporary failure ends it", "LOGIN PLAIN", {{"AUTH LOGIN", "454 4.7.0 try later"}},
       Itf(km7::IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE)},
  };
  for (const Case& c : cases) {
    ScriptedServer server([&](ScriptedPeer& p) {
      p.Send("220 test\r\n");
      p.Expect("EHLO client.test\r\n");
      p.Send(std::string("250-test\r\n250 AUTH ") + c.offered + "\r\n");
      for (const auto& [command, reply] : c.exchanges) {
        p.Expect(command);
        p.Send(std::string(reply) + "\r\n");
      }
      p.Expect("QUIT");
      p.Send("221 bye\r\n");
    });
    Session s;
    const Failure f = Catch([&] {
      s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, "user", "secret", server.Port());
      s.Disconnect(true);
    });
    EXPECT_EQ(f.code, c.code) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

TEST(AutoFallbackTest, AnAccountWithNothingOfferedSaysSo) {
  for (const char* user : {"user", ""}) {
    ScriptedServer server([](ScriptedPeer& p) {
      p.Send("220 test\r\n");
      p.Expect("EHLO");
      p.Send("250-test\r\n250-AUTH XOAUTH2\r\n250 SIZE 1000\r\n");
      p.Expect("QUIT");
      p.Send("221 bye\r\n");
    });
    Session s;
    const Failure f = Catch([&] {
      s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, user, "secret", server.Port());
      s.Disconnect(true);
    });
    // Without an account there is nothing to log in with, and nothing wrong.
    EXPECT_EQ(f.code, *user ? Itf(km7::IDS_NO_AUTH_OFFERED) : 0u) << user;
    EXPECT_EQ(server.Finish(), "") << user;
  }
  CZRKSMTPException e(km7::FACILITY_ITF, km7::IDS_NO_AUTH_OFFERED, "250 OK\r\n");
  EXPECT_NE(e.GetErrorMessage().find("STARTTLS"), std::string::npos) << e.GetErrorMessage();
}

TEST(StartTlsTest, AHandshakeThatDoesNotFinishInTimeIsATimeOut) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.ReadExactly(5);  // the client's hello, never answered
    ExpectClosedWithoutQuit(p);
  });
  Session s(1500);
  s.SetSecurity(SMTPSecurity::Tls);
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  EXPECT_EQ(f.code, Itf(km7::IDS_TLS_HANDSHAKE_TIMED_OUT));
  EXPECT_NE(CZRKSMTPException(f.code, f.lastResponse).GetErrorMessage().find("in time"), std::string::npos);
  EXPECT_EQ(server.Finish(), "");
}
