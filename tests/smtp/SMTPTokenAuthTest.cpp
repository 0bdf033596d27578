// The token mechanisms against a scripted server: XOAUTH2 and OAUTHBEARER
// with their initial responses, the refusal with a JSON error challenge, the
// choice "auto" makes with a token, and the cancel of a garbled SASL step.
#include <gtest/gtest.h>

#include <string>

#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

using km7::test::ScriptedPeer;
using km7::test::Itf;
using km7::test::ScriptedServer;
using km7::test::Session;

namespace {

std::string B64(std::string_view s) { return km7::Base64Encode(s, km7::BASE64_NO_LINE_BREAKS); }

const char* const kToken = "ya29.token-of-the-test";
const std::string kJsonError = R"({"status":"invalid_token","scope":"https://mail.km7.test/smtp"})";

void Greet(ScriptedPeer& p, const std::string& mechanisms) {
  p.Send("220 test ESMTP\r\n");
  p.Expect("EHLO client.test\r\n");
  p.Send("250-test\r\n250-AUTH " + mechanisms + "\r\n250 OK\r\n");
}

struct Outcome {
  uint32_t code = 0;
  std::string lastResponse;
  std::string transcript;
};

Outcome Attempt(ScriptedServer& server, SMTPAuthMethod method, bool token) {
  Outcome o;
  Session s;
  s.SetCredentialIsToken(token);
  s.SetTranscript([&](bool fromClient, std::string_view text) { o.transcript += (fromClient ? "> " : "< ") + std::string(text); });
  try {
    s.Connect("127.0.0.1", method, "alice@km7.test", kToken, server.Port());
    s.Disconnect(true);
  } catch (const CZRKSMTPException& e) {
    o.code = e.GetErrorCode();
    o.lastResponse = e.GetLastResponse();
  }
  return o;
}

}  // namespace

TEST(TokenAuthTest, BothMechanismsSendTheirInitialResponseOnTheAuthLine) {
  struct Case {
    SMTPAuthMethod method;
    std::string line;
  };
  const Case cases[] = {
      {SMTPAuthMethod::XOAuth2,
       "AUTH XOAUTH2 " + B64(std::string("user=alice@km7.test\x01" "auth=Bearer ") + kToken + "\x01\x01") + "\r\n"},
      {SMTPAuthMethod::OAuthBearer, ""},  // the port is the server's: filled in below
  };
  for (const Case& c : cases) {
    std::string got;
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p, "XOAUTH2 OAUTHBEARER");
      got = p.ReadLine();
      p.Send("235 2.7.0 accepted\r\n");
      p.Expect("QUIT");
      p.Send("221 bye\r\n");
    });
    std::string want = c.line;
    if (want.empty()) {
      want = "AUTH OAUTHBEARER " +
             B64("n,a=alice@km7.test,\x01host=127.0.0.1\x01port=" + std::to_string(server.Port()) +
                 "\x01" "auth=Bearer " + kToken + "\x01\x01") +
             "\r\n";
    }
    const Outcome o = Attempt(server, c.method, true);
    EXPECT_EQ(o.code, 0u) << o.lastResponse;
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(got, want);
    // The transcript names the mechanism but not the token.
    EXPECT_EQ(o.transcript.find(B64(kToken).substr(0, 8)), std::string::npos);
    EXPECT_EQ(got.find("\r\n"), got.size() - 2);
  }
}

TEST(TokenAuthTest, RefusedTokenIsAnsweredAsEachMechanismAsksAndTheJsonErrorIsDecoded) {
  // OAUTHBEARER answers the error challenge with ^A (Base64 "AQ=="),
  // XOAUTH2 with an empty line; then the final reply.
  const std::pair<SMTPAuthMethod, std::string> cases[] = {{SMTPAuthMethod::OAuthBearer, "AQ==\r\n"},
                                                          {SMTPAuthMethod::XOAuth2, "\r\n"}};
  for (const auto& [method, answer] : cases) {
    ScriptedServer server([&, answer = answer](ScriptedPeer& p) {
      Greet(p, "XOAUTH2 OAUTHBEARER");
      p.Expect("AUTH ");
      p.Send("334 " + B64(kJsonError) + "\r\n");
      p.Expect(answer);
      p.Send("535 5.7.8 Authentication credentials invalid\r\n");
      p.Expect("QUIT");
      p.Send("221 bye\r\n");
    });
    const Outcome o = Attempt(server, method, true);
    EXPECT_EQ(o.code, Itf(km7::IDS_OAUTH_TOKEN_REFUSED));
    EXPECT_EQ(o.lastResponse, "invalid_token (scope \"https://mail.km7.test/smtp\")\r\n"
                              "535 5.7.8 Authentication credentials invalid\r\n");
    EXPECT_EQ(server.Finish(), "");
  }
}

TEST(TokenAuthTest, AutoWithATokenTriesTheTokenMechanismsOnlyAndNeverFallsBackToAPassword) {
  // Refused: no LOGIN or PLAIN after it, though both are offered.
  ScriptedServer refused([](ScriptedPeer& p) {
    Greet(p, "LOGIN PLAIN XOAUTH2 OAUTHBEARER");
    p.Expect("AUTH OAUTHBEARER ");
    p.Send("535 5.7.8 no\r\n");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  EXPECT_EQ(Attempt(refused, SMTPAuthMethod::AutoDetect, true).code, Itf(km7::IDS_OAUTH_TOKEN_REFUSED));
  EXPECT_EQ(refused.Finish(), "");

  // A mechanism the server turns down as such makes way for the other.
  ScriptedServer unknown([](ScriptedPeer& p) {
    Greet(p, "XOAUTH2 OAUTHBEARER");
    p.Expect("AUTH OAUTHBEARER ");
    p.Send("504 5.5.4 not here after all\r\n");
    p.Expect("AUTH XOAUTH2 ");
    p.Send("235 ok\r\n");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  EXPECT_EQ(Attempt(unknown, SMTPAuthMethod::AutoDetect, true).code, 0u);
  EXPECT_EQ(unknown.Finish(), "");

  // No token mechanism offered: nothing is sent, the password ones stay unused.
  ScriptedServer none([](ScriptedPeer& p) {
    Greet(p, "LOGIN PLAIN");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  EXPECT_EQ(Attempt(none, SMTPAuthMethod::AutoDetect, true).code, Itf(km7::IDS_NO_TOKEN_MECHANISM_OFFERED));
  EXPECT_EQ(none.Finish(), "");

  // Without a token, "auto" never picks a token mechanism.
  ScriptedServer password([](ScriptedPeer& p) {
    Greet(p, "XOAUTH2 OAUTHBEARER PLAIN");
    p.Expect("AUTH PLAIN\r\n");
    p.Send("334 \r\n");
    p.ReadLine();
    p.Send("235 ok\r\n");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  EXPECT_EQ(Attempt(password, SMTPAuthMethod::AutoDetect, false).code, 0u);
  EXPECT_EQ(password.Finish(), "");
}

TEST(SaslCancelTest, AGarbledStepIsCancelledWithAStarAndThe501IsRead) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p, "LOGIN");
    p.Expect("AUTH LOGIN\r\n");
    p.Send("334 " + B64("Who goes there?") + "\r\n");
    p.Expect("*\r\n");
    p.Send("501 5.7.0 authentication cancelled\r\n");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  Session s;
  uint32_t code = 0;
  try {
    s.Connect("127.0.0.1", SMTPAuthMethod::Login, "bob", "pw", server.Port());
  } catch (const CZRKSMTPException& e) {
    code = e.GetErrorCode();
  }
  EXPECT_EQ(code, Itf(km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST));
  EXPECT_EQ(server.Finish(), "");
}
