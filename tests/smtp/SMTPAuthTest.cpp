// The authentication exchanges against scripted servers: LOGIN, PLAIN,
// CRAM-MD5 and the choice made by AutoDetect (NTLM: SMTPAuthNtlmTest.cpp), with each failure id.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/MD5.h"
#include "smtp/SMTPConnection.h"
#include "smtp/support/AuthServer.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

using km7::test::AuthServer;
using km7::test::B64;
using km7::test::ConnectWith;
using km7::test::Failure;
using km7::test::ScriptedPeer;
using km7::test::Unb64;
using km7::test::Itf;
using km7::test::ScriptedServer;
using km7::test::ScriptError;
using km7::test::Session;


// ---------------------------------------------------------------------------
// LOGIN

TEST(AuthLoginTest, UpperCasePromptsAreAccepted) {
  std::string user, password;
  ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
    p.Expect("AUTH LOGIN\r\n");
    p.Send("334 " + B64("USERNAME:") + "\r\n");
    user = Unb64(p.ReadLine());
    p.Send("334 " + B64("PASSWORD:") + "\r\n");
    password = Unb64(p.ReadLine());
    p.Send("235 welcome\r\n");
  }));
  EXPECT_EQ(ConnectWith(server, SMTPAuthMethod::Login, "alice@example.org", "s3cret with spaces").code, 0u);
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(user, "alice@example.org");
  EXPECT_EQ(password, "s3cret with spaces");
}

TEST(AuthLoginTest, EachStepFailsWithItsId) {
  struct Case {
    const char* name;
    std::function<void(ScriptedPeer&)> script;
    uint32_t id;
    std::string lastResponse;
  };
  const std::string user = "334 " + B64("Username:") + "\r\n";
  const std::string pass = "334 " + B64("Password:") + "\r\n";
  const Case cases[] = {
      {"AUTH LOGIN refused", [](ScriptedPeer& p) { p.Expect("AUTH LOGIN"), p.Send("504 no\r\n"); }, 525, "504 no\r\n"},
      {"wrong user prompt",
       [](ScriptedPeer& p) {
         p.Expect("AUTH LOGIN"), p.Send("334 " + B64("Who are you?") + "\r\n");
         p.Expect("*\r\n"), p.Send("501 cancelled\r\n");
       },
       526, "334 " + B64("Who are you?") + "\r\n"},
      {"user name refused",
       [&](ScriptedPeer& p) { p.Expect("AUTH LOGIN"), p.Send(user), p.ReadLine(), p.Send("535 no\r\n"); }, 527,
       "535 no\r\n"},
      {"wrong password prompt",
       [&](ScriptedPeer& p) {
         p.Expect("AUTH LOGIN"), p.Send(user), p.ReadLine(), p.Send(user);
         p.Expect("*\r\n"), p.Send("501 cancelled\r\n");
       },
       528, user},
      {"password refused",
       [&](ScriptedPeer& p) {
         p.Expect("AUTH LOGIN"), p.Send(user), p.ReadLine(), p.Send(pass), p.ReadLine(), p.Send("535 bad\r\n");
       },
       529, "535 bad\r\n"},
  };
  for (const Case& c : cases) {
    ScriptedServer server(AuthServer(c.script));
    const Failure f = ConnectWith(server, SMTPAuthMethod::Login, "bob", "pw");
    EXPECT_EQ(f.code, Itf(c.id)) << c.name;
    EXPECT_EQ(f.lastResponse, c.lastResponse) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
    if (c.id == 526) {
      // The user name was never sent: the exchange is cancelled, then QUIT.
      EXPECT_EQ(server.Received().substr(server.Received().find("AUTH LOGIN")), "AUTH LOGIN\r\n*\r\nQUIT\r\n");
    }
  }
}

// ---------------------------------------------------------------------------
// PLAIN

TEST(AuthPlainTest, CredentialLayoutWithAnEmptyPassword) {
  struct Case {
    std::string user, password, expected;
  };
  for (const Case& c : {Case{"bob", "", std::string("\0bob\0", 5)},
                        Case{"bob", "pw", std::string("\0bob\0pw", 7)},
                        Case{std::string(100, 'u'), "p", std::string(1, '\0') + std::string(100, 'u') + '\0' + "p"}}) {
    std::string line;
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH PLAIN\r\n");
      p.Send("334 \r\n");
      line = p.ReadLine();
      p.Send("235 ok\r\n");
    }));
    EXPECT_EQ(ConnectWith(server, SMTPAuthMethod::Plain, c.user, c.password).code, 0u);
    EXPECT_EQ(server.Finish(), "");
    EXPECT_EQ(line, B64(c.expected) + "\r\n");  // one line, no breaks
    EXPECT_EQ(Unb64(line).size(), c.user.size() + c.password.size() + 2);
  }
}

TEST(AuthPlainTest, BothStepsFailWith530) {
  for (bool failFirst : {true, false}) {
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH PLAIN");
      if (failFirst) {
        p.Send("504 unknown\r\n");
        return;
      }
      p.Send("334 \r\n");
      p.ReadLine();
      p.Send("535 unknown\r\n");
    }));
    const Failure f = ConnectWith(server, SMTPAuthMethod::Plain, "bob", "pw");
    EXPECT_EQ(f.code, Itf(530));
    EXPECT_EQ(f.lastResponse, failFirst ? "504 unknown\r\n" : "535 unknown\r\n");
    EXPECT_EQ(server.Finish(), "");
  }
}

// ---------------------------------------------------------------------------
// CRAM-MD5

TEST(AuthCramMd5Test, DigestWithAKeyLongerThan64Bytes) {
  const std::string challenge = "<1896.697170952@postoffice.example.net>";
  for (const std::string& password : {std::string("tanstaaftanstaaf"), std::string(100, 'k')}) {
    std::string response;
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH CRAM-MD5\r\n");
      p.Send("334 " + B64(challenge) + "\r\n");
      response = Unb64(p.ReadLine());
      p.Send("235 ok\r\n");
    }));
    EXPECT_EQ(ConnectWith(server, SMTPAuthMethod::CramMd5, "joe", password).code, 0u);
    EXPECT_EQ(server.Finish(), "");
    unsigned char digest[16];
    unsigned int length = 0;
    HMAC(EVP_md5(), password.data(), static_cast<int>(password.size()),
         reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), digest, &length);
    ASSERT_EQ(length, 16u);
    EXPECT_EQ(response, "joe " + CZRKMD5::ToHex(digest, false));
  }
  // The published example of the mechanism.
  uint8_t digest[16];
  CZRKMD5 md5;
  ASSERT_TRUE(md5.HMAC("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf", digest));
  EXPECT_EQ(CZRKMD5::ToHex(digest), "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(AuthCramMd5Test, BothStepsFailWithTheirIds) {
  for (bool failFirst : {true, false}) {
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH CRAM-MD5");
      if (failFirst) {
        p.Send("504 no\r\n");
        return;
      }
      p.Send("334 " + B64("<1@x>") + "\r\n");
      p.ReadLine();
      p.Send("535 wrong\r\n");
    }));
    const Failure f = ConnectWith(server, SMTPAuthMethod::CramMd5, "joe", "pw");
    EXPECT_EQ(f.code, Itf(failFirst ? 535 : 536));
    EXPECT_EQ(server.Finish(), "");
  }
}

namespace {

struct DetectCase {
  const char* name;
  const char* ehloReply;
  const char* expectedCommand;  // nullptr: no authentication
};

class AutoDetectTest : public testing::TestWithParam<DetectCase> {};

}  // namespace

TEST_P(AutoDetectTest, RunsTheChosenMechanism) {
  const DetectCase& c = GetParam();
  std::string next;
  ScriptedServer server([&](ScriptedPeer& p) {
    p.Send("220 test\r\n");
    p.Expect("EHLO ");
    p.Send(c.ehloReply);
    next = p.ReadLine();
    if (next.rfind("QUIT", 0) == 0) {
      p.Send("221 bye\r\n");
      return;
    }
    // Not a refusal of the mechanism (that would make the client try the
    // next one): the session gives up.
    p.Send("454 not today\r\n");
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  });
  Session s;
  try {
    s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, "DOM\\u", "p", server.Port());
    s.Disconnect(true);
  } catch (const CZRKSMTPException&) {
    // The scripted server refuses every mechanism.
  }
  EXPECT_EQ(server.Finish(), "");
  if (c.expectedCommand == nullptr) {
    EXPECT_EQ(next, "QUIT\r\n");
  } else {
    EXPECT_EQ(next.rfind(c.expectedCommand, 0), 0u) << next;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Choices, AutoDetectTest,
    testing::Values(DetectCase{"login_over_plain", "250-x\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n", "AUTH LOGIN\r\n"},
                    DetectCase{"ntlm_first", "250-x\r\n250-AUTH PLAIN CRAM-MD5 NTLM\r\n250 OK\r\n", "AUTH NTLM "},
                    DetectCase{"cram_md5", "250-x\r\n250-AUTH PLAIN CRAM-MD5\r\n250 OK\r\n", "AUTH CRAM-MD5\r\n"},
                    DetectCase{"lower_case_words", "250-x\r\n250-AUTH plain\r\n250 OK\r\n", "AUTH PLAIN\r\n"},
                    DetectCase{"final_line_found", "250-x\r\n250 AUTH LOGIN\r\n", "AUTH LOGIN\r\n"},
                    DetectCase{"no_auth_line", "250-x\r\n250 SIZE 1000\r\n", nullptr}),
    [](const testing::TestParamInfo<DetectCase>& info) { return std::string(info.param.name); });
