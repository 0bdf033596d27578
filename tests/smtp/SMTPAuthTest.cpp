// The authentication exchanges against scripted servers: LOGIN, PLAIN,
// CRAM-MD5, NTLM, and the choice made by AutoDetect, with each failure id.
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
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

using km7::test::ScriptedPeer;
using km7::test::Itf;
using km7::test::ScriptedServer;
using km7::test::ScriptError;
using km7::test::Session;

namespace {

std::string B64(std::string_view s) { return km7::Base64Encode(s, km7::BASE64_NO_LINE_BREAKS); }
std::string Unb64(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return km7::Base64Decode(line);
}

struct Failure {
  uint32_t code = 0;
  std::string lastResponse;
};

// Greets, answers EHLO with ehloReply, runs auth, then answers QUIT (when
// the client sends it).
ScriptedServer::Script AuthServer(std::function<void(ScriptedPeer&)> auth,
                                  std::string ehloReply = "250-test\r\n250 OK\r\n") {
  return [auth = std::move(auth), ehloReply](ScriptedPeer& p) {
    p.Send("220 test ESMTP\r\n");
    p.Expect("EHLO client.test\r\n");
    p.Send(ehloReply);
    auth(p);
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  };
}

Failure ConnectWith(ScriptedServer& server, SMTPAuthMethod method, const std::string& user,
                    const std::string& password) {
  Session s;
  Failure f;
  try {
    s.Connect("127.0.0.1", method, user, password, server.Port());
    EXPECT_TRUE(s.IsConnected());
    s.Disconnect(true);
  } catch (const CZRKSMTPException& e) {
    f = {e.GetErrorCode(), e.GetLastResponse()};
    EXPECT_FALSE(s.IsConnected());
  }
  return f;
}

}  // namespace

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

// ---------------------------------------------------------------------------
// NTLM

namespace {

void PutLe16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>(v >> 8);
}
void PutLe32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s.at(at + i));
  return v;
}

// A CHALLENGE message with a NetBIOS domain name in its target information.
std::string ChallengeMessage() {
  std::string name;
  for (char c : std::string("TESTDOM")) name += c, name += '\0';
  std::string info;
  PutLe16(info, 2);
  PutLe16(info, static_cast<uint16_t>(name.size()));
  info += name;
  PutLe16(info, 0);
  PutLe16(info, 0);
  const uint32_t flags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00080000 | 0x00800000 | 0x20000000 | 0x02000000;
  std::string m("NTLMSSP\0", 8);
  PutLe32(m, 2);
  const uint32_t nameOffset = 56;
  PutLe16(m, static_cast<uint16_t>(name.size()));
  PutLe16(m, static_cast<uint16_t>(name.size()));
  PutLe32(m, nameOffset);
  PutLe32(m, flags);
  m += std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
  m += std::string(8, '\0');
  PutLe16(m, static_cast<uint16_t>(info.size()));
  PutLe16(m, static_cast<uint16_t>(info.size()));
  PutLe32(m, nameOffset + static_cast<uint32_t>(name.size()));
  m += std::string("\x06\x01\xb1\x1d\x00\x00\x00\x0f", 8);  // version
  m += name;
  m += info;
  return m;
}

// A field of an AUTHENTICATE message, UTF-16LE narrowed to bytes.
std::string Field(const std::string& m, size_t at) {
  const uint32_t length = Le(m, at, 2);
  const uint32_t offset = Le(m, at + 4, 4);
  const std::string raw = m.substr(offset, length);
  std::string out;
  for (size_t i = 0; i < raw.size(); i += 2) out += raw[i];
  return out;
}

}  // namespace

TEST(AuthNtlmTest, DomainAndUserTravelSeparately) {
  struct Case {
    std::string userName, domain, user;
  };
  for (const Case& c : {Case{"CORP\\alice", "CORP", "alice"}, Case{"alice", "", "alice"}}) {
    std::string negotiate, authenticate;
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      const std::string line = p.Expect("AUTH NTLM ");
      negotiate = Unb64(line.substr(10));
      p.Send("334 " + B64(ChallengeMessage()) + "\r\n");
      authenticate = Unb64(p.ReadLine());
      p.Send("235 ok\r\n");
    }));
    EXPECT_EQ(ConnectWith(server, SMTPAuthMethod::Ntlm, c.userName, "Passw0rd").code, 0u);
    EXPECT_EQ(server.Finish(), "");
    ASSERT_GE(negotiate.size(), 12u);
    EXPECT_EQ(negotiate.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(Le(negotiate, 8, 4), 1u);
    ASSERT_GE(authenticate.size(), 64u);
    EXPECT_EQ(Le(authenticate, 8, 4), 3u);
    EXPECT_EQ(Field(authenticate, 28), c.domain);
    EXPECT_EQ(Field(authenticate, 36), c.user);
    EXPECT_EQ(authenticate.find("Passw0rd"), std::string::npos);
  }
}

TEST(AuthNtlmTest, ServerRefusingTheFirstTokenRaises538) {
  ScriptedServer server(AuthServer([](ScriptedPeer& p) {
    p.Expect("AUTH NTLM ");
    p.Send("535 5.7.8 not here\r\n");
  }));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "DOM\\bob", "pw");
  EXPECT_EQ(f.code, Itf(538));
  EXPECT_EQ(f.lastResponse, "535 5.7.8 not here\r\n");
  EXPECT_EQ(server.Finish(), "");
}

TEST(AuthNtlmTest, ServerRefusingTheLastTokenRaises538) {
  ScriptedServer server(AuthServer([](ScriptedPeer& p) {
    p.Expect("AUTH NTLM ");
    p.Send("334 " + B64(ChallengeMessage()) + "\r\n");
    p.ReadLine();
    p.Send("535 bad credentials\r\n");
  }));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "bob", "pw");
  EXPECT_EQ(f.code, Itf(538));
  EXPECT_EQ(f.lastResponse, "535 bad credentials\r\n");
  EXPECT_EQ(server.Finish(), "");
}

TEST(AuthNtlmTest, SecurityStatusesBecomeTheErrorCode) {
  struct Case {
    const char* name;
    std::string challenge;
    uint32_t code;
  };
  for (const Case& c : {Case{"oversized challenge", std::string(16384, 'x'), km7::SEC_E_INSUFFICIENT_MEMORY},
                        Case{"malformed challenge", "not a challenge", km7::SEC_E_INVALID_TOKEN}}) {
    const std::string reply = "334 " + B64(c.challenge) + "\r\n";
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH NTLM ");
      p.Send(reply);
      // A challenge the client cannot take: it cancels the exchange.
      p.Expect("*\r\n");
      p.Send("501 cancelled\r\n");
    }));
    const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "bob", "pw");
    EXPECT_EQ(f.code, c.code) << c.name;
    EXPECT_EQ(f.lastResponse, reply) << c.name;
    EXPECT_NE(CZRKSMTPException(f.code).GetErrorMessage(), "") << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

TEST(AuthNtlmTest, EmptyUserNameHasNoCredentialsToOffer) {
  // There is no logged-on user's identity to fall back on: the exchange ends
  // before anything is sent, and its status is the error code.
  ScriptedServer server(AuthServer([](ScriptedPeer&) {}));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "", "pw");
  EXPECT_EQ(f.code, km7::SEC_E_NO_CREDENTIALS);
  EXPECT_EQ(f.lastResponse, "250-test\r\n250 OK\r\n");
  EXPECT_EQ(server.Finish(), "");
}

// ---------------------------------------------------------------------------
// AutoDetect

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
